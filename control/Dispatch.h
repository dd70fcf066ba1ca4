// The dispatch layer: invokes the control's methods and properties by
// DISPID or by name with host values, and describes the interface (the
// static table that stands in for the type library).
//
// Every entry checks the host-thread rule first: a call from any other
// thread is refused with DISP_WRONG_THREAD, never run.
#pragma once

#include <string>
#include <vector>

#include "control/TessorCtrl.h"
#include "control/Variant.h"

namespace tessor {

enum EDispStatus {
  DISP_OK = 0,
  DISP_WRONG_THREAD,
  DISP_UNKNOWN_NAME,
  DISP_BAD_ARG_COUNT,
  DISP_BAD_ARG_TYPE,
  DISP_OUT_OF_RANGE,
  DISP_NOT_A_PROPERTY,
  DISP_NOT_A_METHOD,
};

enum class EMemberKind { kMethod, kProperty, kEvent };

struct SParamDesc {
  const char* szName;
  VT vt;
};

struct SMemberDesc {
  int nDispId;
  const char* szName;
  EMemberKind kind;
  VT vtResult;  // methods: EMPTY for none; properties: their type
  std::vector<SParamDesc> params;
  bool bHelp;   // "메서드 <name>" (all but DisconnectFromORV and the properties)
};

// The library, the class and its two interfaces.
struct SLibraryDesc {
  const char* szLibrary;       // "TessorLib"
  int nMajor, nMinor, nLcid;   // 1, 0, 0x409
  const char* szClass;         // "Tessor"
  const char* szDispatch;      // "_DTessor"
  const char* szEvents;        // "_DTessorEvents"
};

const SLibraryDesc& LibraryDescription();
const std::vector<SMemberDesc>& InterfaceDescription();  // methods and properties
const std::vector<SMemberDesc>& EventDescription();
// The help string of a member in CP949 ("" when it has none).
std::string HelpString(const SMemberDesc& m);

// Finds a member of the dispatch interface by name (case-sensitive).
const SMemberDesc* FindMember(const std::string& name);
const SMemberDesc* FindMember(int dispid);

// Calls a method with its arguments in dispatch order.
EDispStatus InvokeMethod(CTessorCtrl& ctrl, const SMemberDesc& m, const std::vector<CVariant>& args,
                         CVariant* pResult);
EDispStatus GetProperty(CTessorCtrl& ctrl, const SMemberDesc& m, CVariant* pValue);
EDispStatus SetProperty(CTessorCtrl& ctrl, const SMemberDesc& m, const CVariant& value);

const char* DispStatusText(EDispStatus status);
const char* VtName(VT vt);

}  // namespace tessor
