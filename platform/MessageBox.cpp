#include "platform/MessageBox.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/CodePage.h"

namespace tessor::platform {

namespace {
struct SPresenter {
  std::mutex lock;
  std::shared_ptr<MessageBoxPresenter> fn;  // guarded by lock; called outside it
};
SPresenter& P() {
  static SPresenter* p = new SPresenter;  // never destroyed: boxes may open at exit
  return *p;
}
}  // namespace

void SetMessageBoxPresenter(MessageBoxPresenter presenter) {
  std::lock_guard<std::mutex> guard(P().lock);
  if (presenter)
    P().fn = std::make_shared<MessageBoxPresenter>(std::move(presenter));
  else
    P().fn.reset();
}

int ShowMessageBox(HWND owner, const std::string& caption, const std::string& text, unsigned style) {
  std::shared_ptr<MessageBoxPresenter> fn;
  {
    std::lock_guard<std::mutex> guard(P().lock);
    fn = P().fn;
  }
  if (fn) return (*fn)(owner, caption, text, style);
  std::string line = "msgbox [" + Cp949ToUtf8(caption) + "] " + Cp949ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return IDOK;
}

}  // namespace tessor::platform
