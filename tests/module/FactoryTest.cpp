// The module's internal pieces behind the C API: the factory table, the
// property page and the registration records, linked from their sources.
#include "module/Factory.h"

#include <gtest/gtest.h>

#include "module/Registration.h"
#include "platform/CodePage.h"

namespace tessor {
namespace {

TEST(ModuleFactory, KnowsBothClassesButCreatesOnlyTheControl) {
  ASSERT_NE(FindFactory("TESSOR.TessorCtrl.1"), nullptr);
  EXPECT_EQ(FindFactory("TESSOR.TessorCtrl.1")->kind, EClassKind::kControl);
  ASSERT_NE(FindFactory("TESSOR.TessorPropPage.1"), nullptr);
  EXPECT_EQ(FindFactory("TESSOR.TessorPropPage.1")->kind, EClassKind::kPropPage);
  EXPECT_EQ(FindFactory(nullptr), nullptr);
  EXPECT_EQ(FindFactory("TESSOR.TessorCtrl.1 "), nullptr);

  CTessorCtrl* p = nullptr;
  EXPECT_EQ(CreateByProgId("TESSOR.TessorPropPage.1", &p), EFactoryStatus::kNotAControl);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CreateByProgId("TESSOR.Other.1", &p), EFactoryStatus::kUnknownProgId);
  ASSERT_EQ(CreateByProgId("TESSOR.TessorCtrl.1", &p), EFactoryStatus::kOk);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetVersion(), "1.0.0.28");
  EXPECT_EQ(p->GetSafeHwnd(), 0u) << "no window before activation";
  CTessorCtrl::Destroy(p);
}

TEST(ModuleFactory, PropertyPageHasNoSettings) {
  CTessorPropPage page;
  EXPECT_EQ(CTessorPropPage::IDD, 200);
  EXPECT_EQ(CTessorPropPage::IDS_CAPTION, 200);
  EXPECT_EQ(page.Caption(), platform::Utf8ToCp949("일반"));
  EXPECT_EQ(page.StaticText(),
            platform::Utf8ToCp949("TODO: 이 대화 상자에 Tessor Control의 속성을 조작하는 컨트롤을 배치합니다."));
  // Opening and closing it exchanges nothing with a control.
  CTessorCtrl ctrl;
  page.DoDataExchange();
  EXPECT_FALSE(ctrl.IsModified());
  EXPECT_EQ(ctrl.GetCallIDProperty(), "");
}

TEST(ModuleRegistration, RecordsOfBothClasses) {
  const SClassRegistration& c = ControlRegistration();
  EXPECT_STREQ(c.szProgId, "TESSOR.TessorCtrl.1");
  EXPECT_STREQ(c.szThreading, "Apartment");
  EXPECT_EQ(c.nMiscStatus, 0x20191u);
  EXPECT_EQ(c.nToolboxBitmap, 1);
  const SClassRegistration& pp = PropPageRegistration();
  EXPECT_STREQ(pp.szTypeName, "Tessor Property Page");
  EXPECT_STRNE(c.szClsid, pp.szClsid);
  EXPECT_STRNE(c.szClsid, TYPELIB_ID);
  EXPECT_STREQ(SafetyCategory(0).szName, "CATID_SafeForScripting");
  EXPECT_STREQ(SafetyCategory(1).szName, "CATID_SafeForInitializing");
}

}  // namespace
}  // namespace tessor
