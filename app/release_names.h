// Fixed names of the install: nothing here can be configured.
#pragma once

inline constexpr char kProductSubfolder[] = "Quorvane\\Software";
inline constexpr char kClientExecutable[] = "QuorvaneSoftware.exe";
inline constexpr char kSecondClientProcess[] = "QelSoftClient.exe";
inline constexpr wchar_t kClientWindowClassSoft[] = L"Qel_Rw_Soft_UI";
inline constexpr wchar_t kClientWindowClassTolu[] = L"Qel_Rw_Tolu_UI";
inline constexpr unsigned kCloseRequestMessage = 0x0658;  // WM_USER + 600
inline constexpr char kClientArchive[] = "SoftQuorvane.zip";
inline constexpr char kSkinArchive[] = "ImgRes.zip";
inline constexpr char kToolPathFile[] = "ToolFiePath.txt";
inline constexpr char kLogFile[] = "ReleaseToolLog.txt";
inline constexpr char kLaunchVerb[] = "open";

// Narrow and wide path buffers hold MAX_PATH characters; the log path has room for 1024.
inline constexpr int kPathCapacity = 260;
inline constexpr int kLogPathCapacity = 1024;
