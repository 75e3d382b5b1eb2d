#include "expected_package.h"

namespace expected {

const std::vector<Component>& PackageComponents() {
    using F = Fetched;
    static const std::vector<Component> components = {
        {"kar160.ex_", F::Always, "karemain.exe", 1, 1, Into::Executable, "karemain.exe", "7"},
        {"DLKR_DL.ex_", F::Always, "DLKR_DL.exe", 2, 2, Into::Product, "DLKR_DL.exe", "1"},
        {"karstang.di_", F::Always, "karstang.dic", 4, 4, Into::Seed, "karstang.dic", ""},
        {"Zoomhint.tx_", F::Always, "ZoomHint.txt", 5, 5, Into::Seed, "ZoomHint.txt", ""},
        {"cellmapa.da_", F::Always, "cellmapa.dat", 6, 6, Into::Product, "cellmapa.dat", "2"},
        {"cellmapb.da_", F::Always, "cellmapb.dat", 7, 7, Into::Product, "cellmapb.dat", "3"},
        {"vornlib.dl_", F::Always, "vornlib.dll", 8, 8, Into::Product, "VORNLIB.DLL", "1"},
        {"FindUpd.ex_", F::Always, "FindUpd.exe", 3, 3, Into::Product, "FindUpd.exe", "4"},
        {"tvdialog.dl_", F::Always, "tvdialog.dll", 9, 8, Into::Product, "tvdialog.dll", "4.5"},
        {"plxShow.ex_", F::Always, "plxShow.exe", 10, 0, Into::Product, "plxShow.exe", "4.6"},
        {"GroupList.Ms_", F::Always, "GroupList.Mst", 11, 0, Into::GroupFolder, "GroupList.Mst", "4.7"},
        {"GroupMst.in_", F::Always, "GroupMst.ini", 12, 0, Into::GroupFolder, "GroupMst.ini", "4.8"},
        {"KarScan.ex_", F::Always, "KarScan.exe", 13, 0, Into::Product, "KarScan.exe", "4.9"},
        {"KarScanPaste.ex_", F::Always, "KarScanPaste.exe", 14, 0, Into::Product, "KarScanPaste.exe", "4.10"},
        {"KarScan.de_", F::Always, "KarScan.def", 15, 0, Into::Product, "KarScan.def", "4.11"},
        {"SCANABORT.EX_", F::Always, "scanabort.exe", 16, 0, Into::Product, "scanabort.exe", "4.12"},
        {"Regsvr32.ex_", F::RegistrationTool, "Regsvr32.exe", 17, 9, Into::WorkFolder, "", ""},
        {"Imgkit5.lzh", F::ImageKit5, "ImgKit5.ocx", 0, 0, Into::ImageKit5, "ImgKit5.ocx", ""},
        {"Imgkit6.lzh", F::ImageKit6, "ImgKit6.ocx", 0, 0, Into::ImageKit6, "ImgKit6.ocx", ""},
    };
    return components;
}

std::vector<std::string> ExpectedDownloads(bool imageKit5Current, bool imageKit6Present) {
    std::vector<std::string> names;
    for (const Component& component : PackageComponents()) {
        const bool fetched = component.fetched == Fetched::Always ||
                             (component.fetched == Fetched::RegistrationTool && (!imageKit5Current || !imageKit6Present)) ||
                             (component.fetched == Fetched::ImageKit5 && !imageKit5Current) ||
                             (component.fetched == Fetched::ImageKit6 && !imageKit6Present);
        if (fetched) names.push_back(component.served);
    }
    return names;
}

}  // namespace expected
