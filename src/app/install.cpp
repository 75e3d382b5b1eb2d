// The installation as the window runs it: message 1125 starts it with the start button gone, the
// window disabled and the system asked not to end the session meanwhile; the Installation does the
// work, and the window shows its steps, asks the user to end the product when it runs, and reports
// the end: completed (after saving the proxy settings), cancelled, or failed with what became of
// the product. The program ends then.
#include "mainform.h"

#include "installation.h"
#include "product.h"
#include "ui/application.h"
#include "ui/message_dialog.h"
#include "user_failure.h"
#include "util/scope_exit.h"

namespace {

// Shown by the system when the user logs off or shuts down while the installation runs.
constexpr const wchar_t* kShutdownReason =
    L"【カレドナ】のアップデート中です。終了すると【カレドナ】が起動しなくなるおそれがあります。";

// Keeps the system from ending the session while the installation runs, with a reason that it
// shows to the user. The functions exist from Windows Vista on.
class ShutdownBlock {
public:
    ShutdownBlock(HWND window, const wchar_t* reason) : window_(window) {
        HMODULE user32 = GetModuleHandleW(L"user32.dll");
        auto create = reinterpret_cast<BOOL(WINAPI*)(HWND, LPCWSTR)>(
            reinterpret_cast<void*>(GetProcAddress(user32, "ShutdownBlockReasonCreate")));
        destroy_ = reinterpret_cast<BOOL(WINAPI*)(HWND)>(
            reinterpret_cast<void*>(GetProcAddress(user32, "ShutdownBlockReasonDestroy")));
        blocked_ = create && destroy_ && create(window_, reason);
    }
    ~ShutdownBlock() {
        if (blocked_) destroy_(window_);
    }
    ShutdownBlock(const ShutdownBlock&) = delete;
    ShutdownBlock& operator=(const ShutdownBlock&) = delete;

private:
    HWND window_;
    BOOL(WINAPI* destroy_)(HWND) = nullptr;
    bool blocked_ = false;
};

}  // namespace

void TMainForm::ExpandStartMessage() { Unpress(); }

JournalScope TMainForm::InstallationScope(const std::string& installPath, const std::string& workPath) const {
    InstallationTarget target = Target;
    target.installPath = installPath;
    target.workPath = workPath;
    return Installation::Scope(target);
}

void TMainForm::SetStep(int step) {
    const int total = Download_.Total() + 2;
    ProgressLabel.SetText(std::to_string(step) + " / " + std::to_string(total));
    ProgressBar.SetPosition(static_cast<int>(static_cast<double>(step) / total * 100));
}

void TMainForm::ShowStep(int step) { SetStep(step); }

bool TMainForm::ProductEnded() { return WaitUntilProductEnds(); }

void TMainForm::Unpress() {
    DownLoadButton.SetVisible(false);
    SetEnabled(false);
    // The hourglass while the installation runs, and the arrow again however it ends.
    Application::SetBusyCursor(true);
    const ScopeExit arrowAgain([] { Application::SetBusyCursor(false); });
    ShutdownBlock shutdownBlock(Handle(), kShutdownReason);
    const ScopeExit endOfInstallation([this] {
        Download_.InstallationEnded();
        SetEnabled(true);
    });
    Download_.InstallationStarts();

    try {
        const Installation::Result result = Installation(Target, Staging_, *this).Run();
        if (result.cancelled) {
            ShowInformation(kUpdateCancelled);
        } else {
            std::string notSaved = result.notSaved.empty() ? "" : "\r" + result.notSaved;
            try {
                WriteInitFile();
            } catch (const std::exception& error) {
                notSaved += std::string("\rプロキシの設定を保存できませんでした。") + error.what();
            }
            ProgressLabel.SetText("Completed");
            ProgressBar.SetPosition(100);
            if (notSaved.empty()) {
                ShowInformation("アップデートが完了しました。終了します。");
            } else {
                ShowError("【カレドナ】のアップデートは完了しました。" + notSaved);
            }
        }
    } catch (const std::exception& error) {
        ShowError(FailureText({"コンポーネントの展開(9)に失敗しました。", error.what()}));
    }
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
}
