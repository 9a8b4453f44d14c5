#pragma once
// Numeric ids of the main dialog's controls and of its system-menu item.

namespace tessaro::control {

constexpr int Open = 1000;
constexpr int InputPath = 1001;
constexpr int ConfigGroup = 1002;
constexpr int FilesGroup = 1003;
constexpr int SaveAs = 1004;
constexpr int OutputPath = 1005;
constexpr int Load = 1006;
constexpr int ProcessingGroup = 1007;
constexpr int Clear = 1009;
constexpr int Progress = 1011;
constexpr int Process = 1012;
constexpr int Gain = 1016;
constexpr int ConfigFileName = 1017;
constexpr int ConfigLength = 1018;
constexpr int ConfigRate = 1019;
constexpr int ConfigDescription = 1020;
constexpr int Abort = 1022;
constexpr int InputRms = 1023;
constexpr int InputPeak = 1024;
constexpr int OutputRms = 1025;
constexpr int OutputPeak = 1026;
constexpr int Clipped = 1027;
constexpr int Log = 1028;
constexpr int Exit = 1030;

constexpr int AboutCommand = 16;  // system-menu item

}  // namespace tessaro::control
