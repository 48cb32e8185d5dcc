// Fixed names of the install: nothing here can be configured.
#pragma once

// File and folder names are UTF-16, as every path of the install root is.
inline constexpr wchar_t kProductFolder[] = L"Quorvane";
inline constexpr wchar_t kProductSubfolder[] = L"Quorvane\\Software";
inline constexpr char kClientExecutable[] = "QuorvaneSoftware.exe";  // as the stop phase matches it
inline constexpr wchar_t kClientExecutableFile[] = L"QuorvaneSoftware.exe";
inline constexpr char kSecondClientProcess[] = "QelSoftClient.exe";
inline constexpr wchar_t kClientWindowClassSoft[] = L"Qel_Rw_Soft_UI";
inline constexpr wchar_t kClientWindowClassTolu[] = L"Qel_Rw_Tolu_UI";
inline constexpr unsigned kCloseRequestMessage = 0x0658;  // WM_USER + 600
inline constexpr wchar_t kClientArchive[] = L"SoftQuorvane.zip";
inline constexpr wchar_t kSkinArchive[] = L"ImgRes.zip";
inline constexpr wchar_t kToolPathFile[] = L"ToolFiePath.txt";
inline constexpr wchar_t kLogFile[] = L"ReleaseToolLog.txt";
inline constexpr wchar_t kLaunchVerb[] = L"open";

// Path buffers hold MAX_PATH characters, the terminator included: the tool declares no long-path
// awareness, so Windows refuses any longer path (Wine does not, which is why the limit is ours to
// keep). A folder must leave room for an 8.3 name: CreateDirectoryW refuses 248 characters and more.
inline constexpr int kPathCapacity = 260;
inline constexpr int kFolderPathCapacity = 248;
// Every file the release writes first stands beside its target under a temporary name: ".tmp" for
// the archives, the log and the tool-path file, ".qvtmp" for the unpacked client files.
inline constexpr int kLongestTemporarySuffix = 6;
