#!/usr/bin/env python3
"""Writes the repair fuzz target's seed inputs: folders and journals that an interrupted update
leaves, and ones a power cut, a user or a planted file can make. The input format is the target's
(tests/fuzz/repair_fuzz_target.cpp); the name and kind numbers below are its tables.

Usage: make_repair_seeds.py FOLDER            the seeds the repair handles soundly
       make_repair_seeds.py --faults FOLDER   the inputs that show a fault of the repair
"""
import os
import sys

NAMES = ["a.dll", "sub\\b.dll", "QuorvaneSoftware.exe", "settings.ini", "sub", "plugins",
         "plugins\\core.dll", "sub\\deep\\c.dll", "sub\\deep", "Quorvane.qvjournal",
         "Quorvane.qvjournal.unusable"]
ABSENT, OLD, NEW, USER, FOLDER, LINK_TO_FOLDER, LINK_TO_FILE, LOCKED = range(8)
STATES = ["staging", "switching", "committed"]
# Damages of a line's name, as LineName numbers them.
SOUND, NUL_X, NUL, CR, SLASHES, PARENT, PARENT_INSIDE, KEPT_SUFFIX, EMPTY = 0, 12, 13, 14, 15, 16, 17, 18, 19
RENDERED, NO_JOURNAL, CUT_LAST_LINE, ZERO_TAIL, MIXED = 1, 2, 4, 8, 16


def item(name, target=ABSENT, staged=ABSENT, kept=ABSENT):
    return bytes([NAMES.index(name), target, staged, kept])


def line(kind, name, damage=SOUND):
    return bytes(["ONSTDK".index(kind), damage * len(NAMES) + NAMES.index(name)])


def seed(items, state=None, lines=(), flags=RENDERED, raw=b""):
    data = bytes([flags, len(items)]) + b"".join(items)
    if flags & RENDERED:
        return data + bytes([STATES.index(state)]) + b"".join(lines)
    return data + raw


SOUND_SEEDS = {
    # A switch cut at each of its states: every old file returns, every new one goes.
    "switch_moved_in.bin": seed(
        [item("a.dll", NEW, kept=OLD), item("sub\\b.dll", NEW, kept=OLD), item("QuorvaneSoftware.exe", NEW)],
        "switching", [line("O", "a.dll"), line("O", "sub\\b.dll"), line("N", "QuorvaneSoftware.exe"),
                      line("D", "sub\\deep")]),
    "switch_half_set_aside.bin": seed(
        [item("a.dll", staged=NEW, kept=OLD), item("sub\\b.dll", OLD, NEW), item("sub\\deep\\c.dll", staged=NEW),
         item("settings.ini", USER)],
        "switching", [line("O", "a.dll"), line("O", "sub\\b.dll"), line("N", "sub\\deep\\c.dll"),
                      line("D", "sub\\deep")]),
    "switch_slash_names.bin": seed(
        [item("a.dll", NEW, kept=OLD), item("sub\\b.dll", NEW, kept=OLD)],
        "switching", [line("O", "a.dll", SLASHES), line("O", "sub\\b.dll", SLASHES)]),
    # A line that names a folder, or leaves the folder: never acted on, the journal goes aside.
    "switch_folder_at_target.bin": seed(
        [item("sub", FOLDER), item("sub\\b.dll", USER), item("a.dll", NEW, kept=OLD)],
        "switching", [line("O", "sub"), line("O", "a.dll")]),
    "committed_parent_names.bin": seed(
        [item("a.dll", USER, kept=OLD), item("settings.ini", USER)],
        "committed", [line("K", "a.dll", PARENT), line("K", "settings.ini", PARENT_INSIDE),
                      line("K", "a.dll", KEPT_SUFFIX), line("T", "a.dll", EMPTY)]),
    # A committed journal's waste goes; the files beside it stay.
    "committed_kept_aside.bin": seed(
        [item("a.dll", NEW, kept=OLD), item("sub\\b.dll", NEW, kept=OLD), item("settings.ini", USER),
         item("sub\\deep", FOLDER)],
        "committed", [line("K", "a.dll"), line("K", "sub\\b.dll"), line("D", "sub\\deep"), line("S", "settings.ini")]),
    # A kill while staging, and a power cut that left zeros or half a line at the journal's end.
    "staging_zero_tail.bin": seed(
        [item("a.dll", USER, NEW), item("sub\\b.dll", staged=NEW), item("sub\\deep", FOLDER)],
        "staging", [line("T", "sub"), line("D", "sub\\deep"), line("S", "a.dll")], RENDERED | ZERO_TAIL),
    "staging_cut_line.bin": seed(
        [item("sub\\b.dll", OLD, NEW), item("settings.ini", USER, NEW)],
        "staging", [line("T", "sub"), line("T", "settings.ini")], RENDERED | CUT_LAST_LINE),
    # Links where a name goes: nothing is acted on through them.
    "link_at_plugins.bin": seed(
        [item("plugins", LINK_TO_FOLDER), item("QuorvaneSoftware.exe", NEW, kept=OLD)],
        "switching", [line("O", "QuorvaneSoftware.exe"), line("O", "plugins\\core.dll"), line("D", "plugins")]),
    "link_at_kept_aside.bin": seed(
        [item("a.dll", NEW, kept=LINK_TO_FILE), item("settings.ini", USER, LINK_TO_FOLDER, LINK_TO_FOLDER)],
        "committed", [line("K", "a.dll"), line("K", "settings.ini"), line("S", "settings.ini"),
                      line("T", "settings.ini")]),
    # What stands at the journal's names.
    "folder_at_journal.bin": seed([item("Quorvane.qvjournal", FOLDER), item("a.dll", USER)], flags=NO_JOURNAL),
    "foreign_journal.bin": seed([item("a.dll", USER), item("Quorvane.qvjournal.unusable", USER)], flags=0,
                                raw=b"quorvane switch 2\nswitching\nO a.dll\n"),
    "no_journal.bin": seed([item("a.dll", USER, NEW, OLD)], flags=NO_JOURNAL),
    # A folder at the set-aside name: the journal still moves aside, and a switching one leaves
    # the folder answered unfinished.
    "folder_at_set_aside_name.bin": seed(
        [item("Quorvane.qvjournal.unusable", FOLDER), item("a.dll", USER)], flags=0, raw=b"not a journal\n"),
    "folder_at_set_aside_name_switching.bin": seed(
        [item("Quorvane.qvjournal.unusable", FOLDER), item("a.dll", NEW, kept=OLD)],
        "switching", [line("O", "a.dll"), line("K", "a.dll", CR)]),
    # A journal that says the folder may be mixed, as a repair that had to set one aside leaves it.
    "committed_mixed.bin": seed(
        [item("a.dll", OLD, kept=OLD), item("settings.ini", USER)], "committed", [line("K", "a.dll")],
        RENDERED | MIXED),
    "switching_mixed.bin": seed(
        [item("a.dll", NEW, kept=OLD), item("sub\\b.dll", OLD, NEW)], "switching",
        [line("O", "a.dll"), line("O", "sub\\b.dll")], RENDERED | MIXED),
    # Names with a NUL: "K settings.ini<NUL>x" must not delete settings.ini, nor
    # "N QuorvaneSoftware.exe<NUL>" the installed client.
    "nul_kept_aside_name.bin": seed(
        [item("settings.ini", USER)], "committed", [line("K", "settings.ini", NUL_X)]),
    "nul_switch_target_name.bin": seed(
        [item("QuorvaneSoftware.exe", OLD), item("a.dll", NEW, kept=OLD)],
        "switching", [line("O", "a.dll"), line("N", "QuorvaneSoftware.exe", NUL)]),
    "nul_names_each_kind.bin": seed(
        [item("settings.ini", USER), item("sub", FOLDER), item("QuorvaneSoftware.exe", OLD), item("a.dll", USER)],
        "switching", [line("S", "settings.ini", NUL), line("D", "sub", NUL_X), line("O", "QuorvaneSoftware.exe", NUL_X),
                      line("K", "a.dll", NUL), line("T", "sub", NUL)]),
    # A folder that cannot be opened now is no link: the journal stays, the folder unfinished.
    "folder_cannot_open_now.bin": seed(
        [item("a.dll", NEW, kept=OLD), item("sub", LOCKED), item("sub\\b.dll", NEW, kept=OLD)],
        "switching", [line("O", "a.dll"), line("O", "sub\\b.dll")]),
}

FAULT_SEEDS = {
    # Two lines for one target: the "N" one takes the old file for a new one moved in and deletes it.
    "duplicate_target_lines.bin": seed(
        [item("a.dll", OLD), item("sub\\b.dll", OLD, NEW)],
        "switching", [line("O", "a.dll"), line("O", "sub\\b.dll"), line("N", "a.dll")]),
}

def main(argv):
    faults = len(argv) == 3 and argv[1] == "--faults"
    if len(argv) != 2 and not faults:
        sys.exit(__doc__)
    folder = argv[-1]
    os.makedirs(folder, exist_ok=True)
    for name, data in (FAULT_SEEDS if faults else SOUND_SEEDS).items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main(sys.argv)
