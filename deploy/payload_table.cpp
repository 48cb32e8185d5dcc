#include "deploy/payload_table.h"

// The resource script embeds the three archives under these ids and this type name.
const PayloadEntry PayloadTable[] = {
    {L"\\Quorvane\\Software\\ImgRes.zip", "ZIP", 137, kReleaseModeOnRelease, ""},
    {L"\\Quorvane\\Software\\Drivers.zip", "ZIP", 138, kReleaseModeOnRelease, ""},
    {L"\\Quorvane\\Software\\SoftQuorvane.zip", "ZIP", 144, kReleaseModeOnRelease, ""},
    {nullptr, nullptr, 0, 0, nullptr},
};
