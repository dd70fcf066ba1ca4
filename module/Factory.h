// Class factories by ProgID. "TESSOR.TessorCtrl.1" makes a CTessorCtrl;
// "TESSOR.TessorPropPage.1" names the property page, which is known but is
// no control, so it cannot be created through the control factory.
#pragma once

#include <string>

#include "control/TessorCtrl.h"

namespace tessor {

// The control's property page: no settings. It exchanges no property, so
// opening and closing it changes nothing in the control.
class CTessorPropPage {
 public:
  static constexpr int IDD = 200;          // dialog template
  static constexpr int IDS_CAPTION = 200;  // caption string
  // The caption, CP949.
  std::string Caption() const;
  // The one static text of the page, CP949.
  std::string StaticText() const;
  void DoDataExchange() {}
};

enum class EFactoryStatus {
  kOk,
  kUnknownProgId,  // no class of that name
  kNotAControl,    // known (the property page) but not creatable as a control
  kNoMemory,
};

enum class EClassKind { kControl, kPropPage };

struct SFactoryEntry {
  const char* szProgId;
  EClassKind kind;
};

// The factory entry of a ProgID (exact match), or nullptr.
const SFactoryEntry* FindFactory(const char* progid);
// Creates a control by ProgID; *out gets a new CTessorCtrl on kOk, bound
// to the calling thread until it is activated.
EFactoryStatus CreateByProgId(const char* progid, CTessorCtrl** out);

}  // namespace tessor
