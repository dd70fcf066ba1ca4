#include "module/Registration.h"

#include <cstdio>

#include "common/Texts.h"
#include "control/Dispatch.h"
#include "platform/CodePage.h"

namespace tessor {

namespace {

const SClassRegistration g_control{"{4B1987AD-CBF5-4C61-A92B-1ED89EE5D226}", "TESSOR.TessorCtrl.1",
                                   "TESSOR.TessorCtrl.1", "Apartment", CONTROL_MISC_STATUS, 1};
const SClassRegistration g_propPage{"{7A17CC9B-3132-4062-B7F9-A3EEA4E3B908}", "TESSOR.TessorPropPage.1",
                                    "Tessor Property Page", "Apartment", 0, 0};

const SCategory g_categories[SAFETY_CATEGORY_COUNT] = {
    {"CATID_SafeForScripting", "Controls that are safely scriptable"},
    {"CATID_SafeForInitializing", "Controls safely initializable from persistent data"},
};

std::string Hex(uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%X", static_cast<unsigned>(n));
  return buf;
}

void AddClass(std::string& out, const char* prefix, const SClassRegistration& r) {
  const std::string p = prefix;
  out += p + ".progid=" + r.szProgId + "\n";
  out += p + ".clsid=" + r.szClsid + "\n";
  out += p + ".typename=" + r.szTypeName + "\n";
  out += p + ".threading=" + r.szThreading + "\n";
  if (r.nMiscStatus != 0) out += p + ".miscstatus=" + Hex(r.nMiscStatus) + "\n";
  if (r.nToolboxBitmap != 0) out += p + ".toolbox_bitmap=" + std::to_string(r.nToolboxBitmap) + "\n";
}

std::string Build() {
  const SLibraryDesc& lib = LibraryDescription();
  std::string out;
  out += std::string("version=") + MODULE_VERSION + "\n";
  AddClass(out, "control", g_control);
  for (int i = 0; i < SAFETY_CATEGORY_COUNT; ++i) {
    const std::string key = "control.category." + std::to_string(i + 1);
    out += key + "=" + g_categories[i].szName + "\n";
    out += key + ".description=" + g_categories[i].szDescription + "\n";
  }
  AddClass(out, "proppage", g_propPage);
  out += "proppage.caption=" + platform::Cp949ToUtf8(GetText(TEXT_PROPPAGE_CAPTION)) + "\n";
  out += std::string("typelib.id=") + TYPELIB_ID + "\n";
  out += std::string("typelib.name=") + lib.szLibrary + "\n";
  out += "typelib.version=" + std::to_string(TYPELIB_MAJOR) + "." + std::to_string(TYPELIB_MINOR) + "\n";
  out += "typelib.lcid=" + Hex(static_cast<uint32_t>(TYPELIB_LCID)) + "\n";
  return out;
}

}  // namespace

const SClassRegistration& ControlRegistration() { return g_control; }
const SClassRegistration& PropPageRegistration() { return g_propPage; }
const SCategory& SafetyCategory(int index) { return g_categories[index < 0 || index > 1 ? 0 : index]; }

const std::string& RegistrationText() {
  // Never freed: callers keep the pointer for the life of the process.
  static const std::string* text = new std::string(Build());
  return *text;
}

}  // namespace tessor
