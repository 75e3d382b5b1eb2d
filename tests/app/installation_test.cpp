// The installation without a window: over a demo installation of 1.5.2 in the prefix's fixed
// folders and the test package's files in a staging folder, as the download leaves them. A view of
// the test's own records what the installation shows and answers its question.
#include "app/installation.h"
#include "expected_package.h"
#include "installation.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/handle.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace {

class RecordingView : public InstallationView {
public:
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ShowStep(int step) override { steps.push_back(step); }
    bool ProductEnded() override {
        ++asked;
        return productEnds;
    }
    std::vector<std::string> messages;
    std::vector<int> steps;
    int asked = 0;
    bool productEnds = true;
};

// The test package, made by the build (a Unix path: Wine's drive Z: is the Unix root).
std::string PackageFolder() {
    std::string path = "Z:" KARUPDT_TEST_PACKAGE "\\";
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string Read(const std::string& path) { return ReadFileBytes(path).value_or("<missing>"); }

// What the product folder holds, name by name.
std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : FileNamesIn(folder)) files[name] = Read(folder + name);
    return files;
}

TEST(InstallationTest, RunsWithoutAWindowAllOrNothing) {
    ScopedInstallation installation;
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    InstallationTarget target;
    target.installPath = WideToUtf8(installation.Folder());
    target.workPath = target.installPath + "Temp\\";
    target.oldVersion = "1.5.2";
    target.imageKit5Current = true;  // the 16 files of a run without ImageKit
    target.imageKit6Present = true;
    ASSERT_TRUE(ForceFolder(target.workPath));
    StagingFolder staging;
    staging.Create(target.workPath);
    for (const std::string& name : expected::ExpectedDownloads(true, true))
        ASSERT_TRUE(CopyFileW(Utf8ToWide(PackageFolder() + "karedona\\" + name).c_str(),
                              Utf8ToWide(staging.Path() + name).c_str(), FALSE))
            << name;
    const std::string oldExecutable = Read(target.installPath + "karemain.exe");
    const auto before = Contents(target.installPath);

    // The user does not end the product: stopped, nothing changed.
    {
        RecordingView view;
        view.productEnds = false;
        const Installation::Result result = Installation(target, staging, view).Run();
        EXPECT_TRUE(result.cancelled);
        EXPECT_EQ(view.asked, 1);
        EXPECT_TRUE(Contents(target.installPath) == before) << "the product changed";
    }
    // A file held open by another program: the installation fails before it changes anything,
    // and says so on the last line.
    {
        FileHandle held(CreateFileW(Utf8ToWide(target.installPath + "cellmapa.dat").c_str(), GENERIC_READ, 0,
                                    nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(held);
        RecordingView view;
        try {
            Installation(target, staging, view).Run();
            ADD_FAILURE() << "the installation went on over a file held open";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message().rfind("コンポーネントの展開(2)に失敗しました。終了します。\rファイル \"" +
                                                target.installPath + "cellmapa.dat\" を置き換えできません。",
                                            0),
                      0u)
                << error.Message();
            const std::string last = "\r【カレドナ】は変更されていません。";
            EXPECT_EQ(error.Message().substr(error.Message().size() - last.size()), last) << error.Message();
        }
        held.reset();
        auto withHeld = before;
        withHeld["cellmapa.dat"] = "";  // as the other program left it
        EXPECT_TRUE(Contents(target.installPath) == withHeld) << "the product changed";
        DeleteFileW(Utf8ToWide(target.installPath + "cellmapa.dat").c_str());
    }
    // Nothing in the way: every file in place as the vendor made it, the old program kept, the log
    // written, the steps shown in order.
    RecordingView view;
    const Installation::Result result = Installation(target, staging, view).Run();
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.notSaved, "");
    EXPECT_EQ(view.messages, (std::vector<std::string>{"アップデートコンポーネントの展開...", "アップデート処理..."}));
    ASSERT_FALSE(view.steps.empty());
    EXPECT_TRUE(std::is_sorted(view.steps.begin(), view.steps.end()));
    EXPECT_EQ(view.steps.front(), 1);
    for (const expected::Component& component : expected::PackageComponents()) {
        if (component.fetched != expected::Fetched::Always) continue;
        const std::string folder = component.into == expected::Into::GroupFolder
                                       ? target.installPath + "グループマスタ\\"
                                       : target.installPath;
        EXPECT_TRUE(Read(folder + component.installed) == Read(PackageFolder() + "original\\" + component.expanded))
            << component.installed << " is not the vendor's";
    }
    EXPECT_TRUE(Read(target.workPath + "karemain.old") == oldExecutable) << "karemain.old is not the old program";
    EXPECT_NE(Read(target.workPath + "KarUpdt.Log").find("\r\nNewVer=1.6.0\r\n"), std::string::npos);
}

}  // namespace
