#include "module/Factory.h"

#include <cstring>
#include <new>

#include "common/Texts.h"

namespace tessor {

namespace {

const SFactoryEntry g_factories[] = {
    {"TESSOR.TessorCtrl.1", EClassKind::kControl},
    {"TESSOR.TessorPropPage.1", EClassKind::kPropPage},
};

}  // namespace

std::string CTessorPropPage::Caption() const { return GetText(TEXT_PROPPAGE_CAPTION); }
std::string CTessorPropPage::StaticText() const { return GetText(TEXT_PROPPAGE_STATIC); }

const SFactoryEntry* FindFactory(const char* progid) {
  if (progid == nullptr) return nullptr;
  for (const SFactoryEntry& f : g_factories)
    if (std::strcmp(f.szProgId, progid) == 0) return &f;
  return nullptr;
}

EFactoryStatus CreateByProgId(const char* progid, CTessorCtrl** out) {
  const SFactoryEntry* f = FindFactory(progid);
  if (f == nullptr) return EFactoryStatus::kUnknownProgId;
  if (f->kind != EClassKind::kControl) return EFactoryStatus::kNotAControl;
  CTessorCtrl* p = new (std::nothrow) CTessorCtrl();
  if (p == nullptr) return EFactoryStatus::kNoMemory;
  *out = p;
  return EFactoryStatus::kOk;
}

}  // namespace tessor
