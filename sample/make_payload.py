#!/usr/bin/env python3
"""Writes the default payload: ImgRes.zip, Drivers.zip and SoftQuorvane.zip.

The archives stand in for a vendor's client files. Everything in them is made from fixed text and a
seeded generator with fixed timestamps, so the same inputs give the same bytes on every build.
SoftQuorvane.zip carries the two sample programs that the build produced; the rest is generated.

usage: make_payload.py OUTPUT_DIR CLIENT_EXE SECOND_CLIENT_EXE
"""

import random
import struct
import sys
import zipfile
import zlib
from pathlib import Path

SEED = 0x5150_2024
ENTRY_TIME = (2024, 3, 18, 9, 30, 0)  # the payload's "release date"; even seconds fit the DOS field
FILE_ATTRIBUTES = 0x20    # FILE_ATTRIBUTE_ARCHIVE, as Windows archivers record a file
FOLDER_ATTRIBUTES = 0x10  # FILE_ATTRIBUTE_DIRECTORY


def entry(name, is_folder=False):
    info = zipfile.ZipInfo(name, date_time=ENTRY_TIME)
    info.create_system = 0  # made "on Windows", whatever the build host is
    info.external_attr = FOLDER_ATTRIBUTES if is_folder else FILE_ATTRIBUTES
    return info


class Archive:
    """A ZIP being written, with the count of its entries."""

    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w")
        self.count = 0

    def folder(self, name):
        self.zip.writestr(entry(name.rstrip("/") + "/", True), b"", compress_type=zipfile.ZIP_STORED)
        self.count += 1

    def file(self, name, data, method=zipfile.ZIP_DEFLATED):
        if isinstance(data, str):
            data = data.replace("\n", "\r\n").encode("utf-8")
        self.zip.writestr(entry(name), data, compress_type=method, compresslevel=9 if method else None)
        self.count += 1

    def close(self, expected):
        self.zip.close()
        if self.count != expected:
            sys.exit(f"make_payload: {self.zip.filename} has {self.count} entries, not {expected}")


# --- small valid PNG images ------------------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def make_png(rng, size):
    """An RGBA square: a rounded, shaded badge in one of the skin's colours."""
    red, green, blue = rng.choice([(0x2D, 0x7F, 0xF9), (0x1F, 0xB9, 0x7A), (0xF5, 0x6C, 0x2A),
                                   (0x8E, 0x5C, 0xE8), (0x59, 0x63, 0x73), (0xE8, 0x3E, 0x5B)])
    radius = size / 2.0
    rows = []
    for y in range(size):
        row = bytearray([0])  # filter type None
        for x in range(size):
            dx, dy = x + 0.5 - radius, y + 0.5 - radius
            inside = dx * dx + dy * dy <= (radius - 0.5) ** 2
            shade = 1.0 - 0.35 * y / size
            row += bytes([int(red * shade), int(green * shade), int(blue * shade), 255 if inside else 0])
        rows.append(bytes(row))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + png_chunk(b"IEND", b""))


# --- ImgRes.zip: the client's skin ---------------------------------------------------------------

LAYOUTS = ["MainFrame", "LoginDialog", "SettingsDialog", "AboutDialog", "TrayMenu", "ChatWindow",
           "ContactList", "FileTransfer", "ScreenShare", "CameraPreview", "AudioSettings", "DeviceList",
           "UpdateDialog", "MessageBox", "Toast", "ToolbarMain", "StatusBar", "SearchBox", "UserCard",
           "MeetingRoom", "Whiteboard", "RemoteControl", "HistoryView"]  # 23 top-level layouts

# folder -> image names; each folder also holds one settings file
SKIN_FOLDERS = {
    "common": ["close", "minimize", "maximize", "restore", "logo", "logo_small", "spinner", "check",
               "uncheck", "radio_on", "radio_off", "arrow_down", "arrow_up", "scroll_thumb", "tooltip_bg"],
    "login": ["avatar_default", "qr_frame", "input_bg", "input_focus", "btn_login", "btn_login_hover",
              "btn_login_down", "remember_on", "remember_off", "eye_open", "eye_closed", "banner", "net_error",
              "lock"],
    "main": ["tab_chat", "tab_chat_sel", "tab_contacts", "tab_contacts_sel", "tab_meeting", "tab_meeting_sel",
             "tab_files", "tab_files_sel", "search", "add", "settings", "bell", "bell_dot", "split_bar", "empty"],
    "chat": ["send", "send_hover", "emoji", "attach", "screenshot", "voice", "video", "bubble_me",
             "bubble_peer", "read", "unread", "failed", "resend", "more", "typing"],
    "contacts": ["online", "offline", "busy", "away", "group", "group_add", "star", "star_on", "remove",
                 "invite", "header_bg", "sort", "filter", "card_bg", "badge"],
    "meeting": ["mic_on", "mic_off", "cam_on", "cam_off", "share", "share_stop", "record", "record_stop",
                "hangup", "members", "hand", "layout_grid", "layout_speaker", "pin", "network"],
    "tray": ["tray_online", "tray_offline", "tray_busy", "tray_away", "tray_flash1", "tray_flash2",
             "tray_update", "tray_error", "menu_open", "menu_quit", "menu_settings", "menu_about",
             "menu_status", "menu_check", "menu_bg"],
    "settings": ["nav_general", "nav_audio", "nav_video", "nav_network", "nav_hotkeys", "nav_about",
                 "switch_on", "switch_off", "slider_track", "slider_thumb", "combo_bg", "combo_arrow",
                 "test_sound", "level_meter", "reset"],
    "devices": ["speaker", "microphone", "camera", "monitor", "headset", "driver_ok", "driver_missing",
                "driver_install", "virtual_audio", "virtual_cam", "virtual_display", "usb", "bluetooth",
                "refresh", "warning"],
    "update": ["progress_bg", "progress_fill", "done", "error", "download", "restart", "changelog",
               "banner_update", "later", "cloud", "shield", "package", "rollback", "info"],
    "dialog": ["title_bg", "btn_ok", "btn_ok_hover", "btn_cancel", "btn_cancel_hover", "icon_info",
               "icon_warn", "icon_error", "icon_question", "shadow_left", "shadow_right", "shadow_top",
               "shadow_bottom", "resize_grip", "frame"],
    "emoji": ["smile", "laugh", "wink", "sad", "cry", "angry", "surprise", "thumbs_up", "thumbs_down",
              "clap", "heart", "fire", "party"],
}


def layout_xml(name, rng):
    width, height = rng.choice([(320, 240), (400, 300), (640, 480), (800, 560), (960, 640)])
    controls = "\n".join(
        f'    <Button name="btn{index}" pos="{rng.randrange(8, width - 96)},{rng.randrange(40, height - 40)}"'
        f' size="88,28" normalimage="common/close.png" text="#{name}_{index}"/>'
        for index in range(rng.randrange(2, 7)))
    return (f'<?xml version="1.0" encoding="utf-8"?>\n'
            f'<Window size="{width},{height}" caption="0,0,0,32" roundcorner="4,4" mininfo="{width // 2},'
            f'{height // 2}">\n  <Font id="0" name="Microsoft YaHei" size="12" default="true"/>\n'
            f'  <VerticalLayout name="{name}" bkcolor="#FFF7F8FA">\n{controls}\n  </VerticalLayout>\n</Window>\n')


def folder_settings(folder, images, rng):
    lines = [f"[{folder}]", f"version=2.4.5.12", f"scale=100"]
    lines += [f"{image}={folder}/{image}.png,{rng.randrange(0, 4)}" for image in images]
    return "\n".join(lines) + "\n"


def write_skin(path, rng):
    archive = Archive(path)
    for name in LAYOUTS:
        archive.file(f"{name}.xml", layout_xml(name, rng))
    for folder, images in SKIN_FOLDERS.items():
        archive.folder(folder)
        for image in images:
            archive.file(f"{folder}/{image}.png", make_png(rng, rng.choice([16, 20, 24, 32, 48])),
                         zipfile.ZIP_STORED)  # already compressed
        archive.file(f"{folder}/skin.ini", folder_settings(folder, images, rng))
    archive.close(223)


# --- Drivers.zip: the virtual device packages ----------------------------------------------------

def binary_blob(rng, size, tag):
    """Stand-in bytes for a program or driver file: an "MZ" start, a tag, then seeded bytes that
    compress a little, as code does."""
    words = [rng.randbytes(4) for _ in range(48)]
    body = bytearray(b"MZ" + tag.encode("ascii") + b"\0")
    while len(body) < size:
        body += rng.choice(words) if rng.random() < 0.7 else rng.randbytes(4)
    return bytes(body[:size])


def inf_text(service, device_class, architecture):
    decoration = "NTx86" if architecture == "x86" else "NTamd64"
    return (f"; {service} virtual device\n[Version]\nSignature=\"$WINDOWS NT$\"\nClass={device_class}\n"
            f"Provider=%Vendor%\nCatalogFile={service}.cat\nDriverVer=03/18/2024,2.4.5.12\n\n"
            f"[Manufacturer]\n%Vendor%=Devices,{decoration}\n\n[Devices.{decoration}]\n"
            f"%DeviceName%={service}_Install,Root\\{service}\n\n[{service}_Install]\nCopyFiles=DriverFiles\n\n"
            f"[DriverFiles]\n{service}.sys\n\n[DestinationDirs]\nDefaultDestDir=12\n\n"
            f"[Strings]\nVendor=\"QuorvaneSoft\"\nDeviceName=\"Quorvane {service}\"\n")


def install_batch(service, architecture):
    return (f"@echo off\nrem Installs {service} ({architecture}); run as administrator\n"
            f"cd /d \"%~dp0\"\n\"%~dp0..\\..\\DevTools\\{architecture}\\QvDevInstall.exe\" install {service}.inf "
            f"Root\\{service}\nexit /b %errorlevel%\n")


def uninstall_batch(service, architecture):
    return (f"@echo off\nrem Removes {service} ({architecture})\ncd /d \"%~dp0\"\n"
            f"\"%~dp0..\\..\\DevTools\\{architecture}\\QvDevInstall.exe\" remove Root\\{service}\n"
            f"exit /b %errorlevel%\n")


def write_drivers(path, rng):
    archive = Archive(path)
    for package, device_class in (("QvAudioMic", "MEDIA"), ("QvAudioSpeaker", "MEDIA"), ("QvMonitor", "Display")):
        archive.folder(package)
        for architecture in ("x86", "x64"):
            base = f"{package}/{architecture}/"
            archive.folder(base)
            archive.file(base + f"{package}.inf", inf_text(package, device_class, architecture))
            archive.file(base + f"{package}.sys", binary_blob(rng, rng.randrange(20000, 60000), package))
            archive.file(base + f"{package}.cat", binary_blob(rng, rng.randrange(3000, 9000), "cat"))
            archive.file(base + "install.bat", install_batch(package, architecture))
            archive.file(base + "uninstall.bat", uninstall_batch(package, architecture))
    # The camera is a capture filter with its own setup program rather than an INF package.
    archive.folder("QvCamera")
    for architecture in ("x86", "x64"):
        base = f"QvCamera/{architecture}/"
        archive.folder(base)
        archive.file(base + "QvCameraSetup.exe", binary_blob(rng, rng.randrange(30000, 70000), "QvCameraSetup"))
        archive.file(base + "QvCamera.ax", binary_blob(rng, rng.randrange(40000, 90000), "QvCamera"))
        archive.file(base + "install.bat",
                     f"@echo off\nrem Registers the virtual camera ({architecture})\n"
                     f"\"%~dp0QvCameraSetup.exe\" /install /quiet\nexit /b %errorlevel%\n")
        archive.file(base + "uninstall.bat",
                     f"@echo off\nrem Unregisters the virtual camera ({architecture})\n"
                     f"\"%~dp0QvCameraSetup.exe\" /uninstall /quiet\nexit /b %errorlevel%\n")
    archive.folder("DevTools")
    archive.file("DevTools/ReadMe.txt",
                 "QvDevInstall installs and removes the virtual devices.\n"
                 "Use the x86 tools on 32-bit Windows and the x64 tools on 64-bit Windows.\n")
    for architecture in ("x86", "x64"):
        base = f"DevTools/{architecture}/"
        archive.folder(base)
        archive.file(base + "QvDevInstall.exe", binary_blob(rng, rng.randrange(50000, 80000), "QvDevInstall"))
        archive.file(base + "QvDevQuery.exe", binary_blob(rng, rng.randrange(20000, 40000), "QvDevQuery"))
        archive.file(base + "difxapi.dll", binary_blob(rng, rng.randrange(60000, 100000), "difxapi"))
    archive.close(60)


# --- SoftQuorvane.zip: the client program --------------------------------------------------------

LIBRARIES = [("QvCore.dll", 180_000, 0.7), ("QvNet.dll", 96_000, 0.0), ("QvMedia.dll", 150_000, 0.5),
             ("QvUi.dll", 120_000, 0.8), ("QvSkin.dll", 40_000, 0.9), ("QvLog.dll", 12_000, 0.8),
             ("QvCrypto.dll", 30_000, 0.2), ("QvDevices.dll", 25_000, 0.6), ("QvUpdate.dll", 18_000, 0.7),
             ("QvAudio.dll", 60_000, 0.5), ("QvVideo.dll", 70_000, 0.4), ("QvShare.dll", 22_000, 0.6),
             ("QvTray.dll", 3_000, 0.8), ("QvLang.dll", 700, 0.9)]  # name, size, share of repeated words


def library_blob(rng, size, repetition, tag):
    """Stand-in for a library. QvNet.dll is pure seeded noise: deflate cannot shrink it, so one
    entry stays above 64 KiB even compressed."""
    words = [rng.randbytes(8) for _ in range(64)]
    body = bytearray(b"MZ" + tag.encode("ascii") + b"\0")
    while len(body) < size:
        body += rng.choice(words) if rng.random() < repetition else rng.randbytes(8)
    return bytes(body[:size])


def write_client(path, rng, client_exe, second_client_exe):
    archive = Archive(path)
    archive.file("QuorvaneSoftware.exe", Path(client_exe).read_bytes())
    archive.file("QelSoftClient.exe", Path(second_client_exe).read_bytes())
    archive.file("QvCrashReport.exe", binary_blob(rng, 45_000, "QvCrashReport"))
    for name, size, repetition in LIBRARIES:
        archive.file(name, library_blob(rng, size, repetition, name))
    archive.close(17)


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    output = Path(argv[1])
    output.mkdir(parents=True, exist_ok=True)
    # One generator per archive, so a change in one leaves the others' bytes alone.
    write_skin(output / "ImgRes.zip", random.Random(SEED + 137))
    write_drivers(output / "Drivers.zip", random.Random(SEED + 138))
    write_client(output / "SoftQuorvane.zip", random.Random(SEED + 144), argv[2], argv[3])


if __name__ == "__main__":
    main(sys.argv)
