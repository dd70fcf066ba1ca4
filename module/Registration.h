// The module's registration data: the fixed class and library identifiers,
// the ProgIDs, the threading model, the miscellaneous status bits and the
// two safety categories. On this platform nothing writes a registry; the
// data is served as text (tessor_registration_info) so that tools and
// installers can show or record it. The identifiers were chosen once and
// never change: hosts may have stored them.
#pragma once

#include <cstdint>
#include <string>

namespace tessor {

struct SClassRegistration {
  const char* szClsid;      // "{...}"
  const char* szProgId;
  const char* szTypeName;   // type name string of the class
  const char* szThreading;  // threading model
  uint32_t nMiscStatus;
  int nToolboxBitmap;       // resource id; 0 when none
};

struct SCategory {
  const char* szName;
  const char* szDescription;
};

// Control: TESSOR.TessorCtrl.1, apartment threading, misc status 0x20191.
const SClassRegistration& ControlRegistration();
// Property page: TESSOR.TessorPropPage.1, "Tessor Property Page".
const SClassRegistration& PropPageRegistration();

constexpr const char* TYPELIB_ID = "{F22DEBC8-F42E-4AD7-87B7-E263A557764B}";
constexpr int TYPELIB_MAJOR = 1;
constexpr int TYPELIB_MINOR = 0;
constexpr int TYPELIB_LCID = 0x409;
constexpr const char* MODULE_VERSION = "1.0.0.28";

// The misc status bits: recompose on resize, can't link inside, inside-out,
// activate when visible, set client site first.
constexpr uint32_t OLEMISC_RECOMPOSEONRESIZE = 0x1;
constexpr uint32_t OLEMISC_CANTLINKINSIDE = 0x10;
constexpr uint32_t OLEMISC_INSIDEOUT = 0x80;
constexpr uint32_t OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
constexpr uint32_t OLEMISC_SETCLIENTSITEFIRST = 0x20000;
constexpr uint32_t CONTROL_MISC_STATUS = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                         OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
static_assert(CONTROL_MISC_STATUS == 0x20191, "the control's misc status");

// The two categories the control is marked safe for, in registration order.
constexpr int SAFETY_CATEGORY_COUNT = 2;
const SCategory& SafetyCategory(int index);

// The whole data as "key=value" lines, UTF-8, each ending in '\n'.
// Built once; the storage is never freed.
const std::string& RegistrationText();

}  // namespace tessor
