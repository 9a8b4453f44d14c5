#pragma once
// The texts the dialog shows, exactly as users and scripts know them.

namespace tessaro::message {

inline constexpr const char* AppName = "Tessaro";
inline constexpr const char* AboutMenuItem = "&About Tessaro...";
inline constexpr const char* AboutTitle = "About Tessaro";
inline constexpr const char* AboutText = "Tessaro Version 1.0";
inline constexpr const char* EngineAllocationFailed = "Fatal Error!Memory Allocation failed!";
inline constexpr const char* AllocationFailed = "Fatal Error, Memory allocation failed!";
inline constexpr const char* EnterANumber = "Please enter a number.";
inline constexpr const char* InvalidConfiguration = "Invalid Configuration file";
inline constexpr const char* EmptyField = "Warning, This field can't be empty!";
inline constexpr const char* SameFile = "Error, Same file is used for input and output!";
inline constexpr const char* ConfirmAbort = "Warning, The processing will be aborted!";
inline constexpr const char* ConfirmExit =
    "Warning, Are you sure you want to abort the processing and close the application!";
inline constexpr const char* EventFailed = "Failed to create Thread Therminating event object";
inline constexpr const char* ThreadFailed = "Failed to create thread";
inline constexpr const char* InputOpenFailed = "<Error> Failed to Open the input wave file!";
inline constexpr const char* OutputOpenFailed = "<Error> Failed to Open the output wave file!";
inline constexpr const char* InputEmpty = "Input wave file is empty, please try another file";
inline constexpr const char* InputNotPcm16Stereo =
    "Error: Input wave file must be 16-bit stereo PCM";
inline constexpr const char* InputNotStereoFormat =
    "Error: Input wave file must be stereo, 16- or 24-bit PCM or 32-bit float";
inline constexpr const char* RateMismatch =
    "Error: Sampling rate mismatch between configuration file and WAV file";
inline constexpr const char* ReadFailed = "Error! Read wave file failed!";
inline constexpr const char* WriteFailed = "Write File Error!";
inline constexpr const char* ProcessFailed = "Warning! The process is failed!";

}  // namespace tessaro::message
