#include "app/command_description.h"

#include <array>

namespace vexal {

namespace {

constexpr std::array<std::string_view, 2> kMp3Modes = {"cbr", "vbr"};
constexpr std::array<std::string_view, 5> kVbrQualities = {"0", "2", "4", "6", "8"};
constexpr std::array<std::string_view, 4> kAacModes = {"cbr", "vbr-low", "vbr-medium", "vbr-high"};
constexpr std::array<std::string_view, 2> kChannelCounts = {"1", "2"};
constexpr std::array<std::string_view, 3> kNormalizations = {"peak", "rms", "lufs"};
constexpr std::array<std::string_view, 5> kBitDepths = {"default", "original", "16", "24", "float"};

constexpr CommandOption kHelp{"help", "h", "", "Show this help and exit."};
constexpr CommandOption kVersion{"version", "v", "", "Show the version and exit."};

constexpr std::array kToolOptions = {
    CommandOption{"format", "", "LIST",
                  "Output formats, comma-separated: aac,alac,flac,wav,aiff,mp3,opus,vorbis.",
                  ValueKind::formats},
    CommandOption{"output", "", "DIR", "Destination folder (default: the Music folder).",
                  ValueKind::folder},
    CommandOption{"preset", "", "NAME",
                  "Start from a built-in or saved preset; other options override it.",
                  ValueKind::preset},
    CommandOption{"bitrate", "", "KBPS", "Bitrate of lossy formats in kbit/s.", ValueKind::number},
    CommandOption{"mp3-mode", "", "MODE", "MP3 bitrate mode: cbr or vbr.", ValueKind::choice,
                  kMp3Modes},
    CommandOption{"vbr-quality", "", "Q", "MP3 VBR quality: 0, 2, 4, 6 or 8.", ValueKind::choice,
                  kVbrQualities},
    CommandOption{"aac-mode", "", "MODE", "AAC strategy: cbr, vbr-low, vbr-medium or vbr-high.",
                  ValueKind::choice, kAacModes},
    CommandOption{"sample-rate", "", "HZ", "Output sample rate in Hz.", ValueKind::number},
    CommandOption{"channels", "", "N", "Output channels: 1 or 2.", ValueKind::choice,
                  kChannelCounts},
    CommandOption{"bit-depth", "", "DEPTH",
                  "WAV, AIFF, FLAC, ALAC: default, original, 16 (dithered), 24 or float (WAV).",
                  ValueKind::choice, kBitDepths},
    CommandOption{"normalize", "", "MODE", "Normalise: peak, rms or lufs.", ValueKind::choice,
                  kNormalizations},
    CommandOption{"target", "", "DB", "Normalisation target in dB (LUFS for lufs).",
                  ValueKind::number},
    CommandOption{"true-peak-ceiling", "", "DBTP",
                  "Normalised true peak at most this (default -1; a missed target is logged).",
                  ValueKind::number},
    CommandOption{"limiter", "", "",
                  "With --normalize rms or lufs: a look-ahead limiter holds the ceiling and the "
                  "target is met."},
    CommandOption{"trim-silence", "", "", "Trim leading and trailing silence."},
    CommandOption{"silence-threshold", "", "DB", "Silence threshold in dBFS.", ValueKind::number},
    CommandOption{"fade-in", "", "S", "Fade-in length in seconds.", ValueKind::number},
    CommandOption{"fade-out", "", "S", "Fade-out length in seconds.", ValueKind::number},
    CommandOption{"template", "", "TEXT",
                  "Naming template, e.g. \"{artist}/{album}/{track} - {title}\"; {format} "
                  "(\"FLAC\", \"AAC\") and {ext} keep formats apart.",
                  ValueKind::text},
    CommandOption{"no-metadata", "", "", "Do not carry tags and artwork into the outputs."},
    CommandOption{"cover-max-size", "", "PX", "Scale larger pictures to PX pixels on their longer side.",
                  ValueKind::number},
    CommandOption{"front-cover-only", "", "", "Carry only the front cover, no other pictures."},
    CommandOption{"replaygain", "", "",
                  "Write ReplayGain 2.0 tags measured on each output (BS.1770, -18 LUFS "
                  "reference): REPLAYGAIN_TRACK_GAIN/PEAK, and REPLAYGAIN_ALBUM_GAIN/PEAK over "
                  "the tracks of one album (one cue sheet, or one folder's files with the same "
                  "album tag) once all of them succeeded; Opus gets "
                  "R128_TRACK_GAIN/R128_ALBUM_GAIN (-23 LUFS), WAV and AIFF nothing."},
    CommandOption{"album-by-folder", "", "",
                  "With --replaygain: each source folder is one album, album tags or not."},
    CommandOption{"verify", "", "", "Decode every output once more to check it."},
    CommandOption{"jobs", "j", "N",
                  "Convert at most N files at once (default: the cores this process may run "
                  "on, its CPU affinity).",
                  ValueKind::number},
    CommandOption{"watch", "", "DIR",
                  "Keep watching DIR and convert what appears in it, until interrupted.",
                  ValueKind::folder},
    CommandOption{"save-preset", "", "NAME", "Save the resulting settings as a preset named NAME.",
                  ValueKind::text},
    CommandOption{"quiet", "q", "",
                  "Print only errors (on stderr) and the final count: no live line, no line per "
                  "file. With --list-presets: only the names, one a line."},
    CommandOption{"json", "", "",
                  "Print one JSON object per line on stdout for each event instead of text: "
                  "{\"event\":\"started\"|\"progress\"|\"finished\"|\"warning\"|\"summary\", "
                  "...}. Progress at most 10 times a second."},
    CommandOption{"sync", "", "",
                  "Mirror the sources into the output folder: files converted before with the "
                  "same settings and unchanged since are skipped, changed ones replace their own "
                  "earlier outputs (an index is kept in the output folder, in .vexal-index). "
                  "Retagged outputs stay up to date; outputs already at their names when the "
                  "index was lost are adopted."},
    CommandOption{"delete", "", "",
                  "With --sync, remove outputs the index recorded whose source is gone (files "
                  "changed since they were written are kept and named)."},
    CommandOption{"copy", "", "",
                  "With --sync, copy companion files (cover.jpg, folder.jpg, *.png, *.pdf, *.cue "
                  "and *.log) from each source folder beside its outputs, and update them when "
                  "the source's copy changes; a different file there is never replaced."},
    CommandOption{"dry-run", "n", "",
                  "With --sync, print what the run would convert, replace, adopt, copy and "
                  "delete, and why (new, source changed, settings changed, output missing, "
                  "orphan); change nothing."},
    CommandOption{"shard", "", "K/N",
                  "Convert only part K of N (1 <= K <= N) of the sources, split by albums (a "
                  "folder, or a cue sheet) with a stable hash of their path below the folder "
                  "given; N runs together convert everything once.",
                  ValueKind::text},
    CommandOption{"list-presets", "", "", "List the built-in and saved presets."},
    CommandOption{"history", "", "", "List the conversion history."},
    kVersion,
    kHelp,
};

constexpr std::array kToolDetails = {
    ManualItem{"", "Folders are walked recursively; a folder holding cue sheets contributes its "
                   "tracks, otherwise its audio files, under their path relative to the folder "
                   "given. Every source becomes one output per format, written under a hidden "
                   "temporary name and renamed into place when finished; an existing file is "
                   "never replaced."},
    ManualItem{"", "On a terminal one line on stderr shows files done, jobs running, percent, "
                   "speed and time left; otherwise a line per finished file is printed on "
                   "stdout. Either way the run ends with every file, its outputs and "
                   "\"N of M files converted successfully.\". Errors name the source as given on "
                   "the command line (or below the folder given) and the reason in words. "
                   "Entries that cannot be converted (a FIFO, a device, a folder named like an "
                   "audio file holding none, a folder that cannot be read) are named in a "
                   "warning on stderr."},
    ManualItem{"", "With --json, stdout carries only JSON objects, one a line: "
                   "{\"event\": \"started\", \"source\": ...}; {\"event\": \"progress\", "
                   "\"done\": N, \"total\": N, \"running\": N, \"percent\": P, \"speed\": X, "
                   "\"eta\": S}; {\"event\": \"finished\", \"source\": ..., \"outputs\": [...]} "
                   "with \"error\" when it failed and \"upToDate\": true when --sync skipped "
                   "it; {\"event\": \"warning\", \"path\": ..., \"message\": ...}; "
                   "{\"event\": \"summary\", \"completed\": N, \"failed\": N, \"upToDate\": N, "
                   "\"total\": N}. A cue track adds \"track\". With --sync, each file the "
                   "mirror acts on: {\"event\": \"action\", \"action\": \"convert\"|\"replace\"|"
                   "\"adopt\"|\"copy\"|\"update\"|\"delete\", \"reason\": ..., \"source\": ..., "
                   "\"output\": ..., \"dryRun\": B}."},
};

constexpr std::array kToolExitStatus = {
    ManualItem{"0", "Every file converted, or was up to date."},
    ManualItem{"1", "A file failed, an input path was missing, an entry was skipped, or the "
                    "index or a companion file could not be written."},
    ManualItem{"2", "A usage error: an unknown option, a value out of range, no input or no "
                    "format."},
    ManualItem{"130", "Interrupted (Ctrl-C or SIGTERM); partial outputs are removed."},
};

constexpr ManualItem kHistoryFile{
    "$XDG_DATA_HOME/Vexal/history.json",
    "The conversion history (~/.local/share/Vexal/ when XDG_DATA_HOME is unset), shared by the "
    "window and every vexal-cli run under a lock on history.json.lock."};
constexpr ManualItem kPresetsFile{"$XDG_DATA_HOME/Vexal/presets.json",
                                  "The saved presets, shared the same way."};
constexpr ManualItem kDataHome{"XDG_DATA_HOME",
                               "Where the history and the presets are kept (default "
                               "~/.local/share)."};
constexpr ManualItem kMusicFolder{"XDG_CONFIG_HOME",
                                  "user-dirs.dirs there names the Music folder, the default "
                                  "destination (default ~/.config)."};

constexpr std::array kToolFiles = {
    kHistoryFile,
    kPresetsFile,
    ManualItem{"DIR/.vexal-index/",
               "With --sync: the index of the files converted or copied into the destination DIR, "
               "their sources and settings; one journal per run, merged on reading. "
               "DIR/.vexal-index.json, from earlier versions, is read once and folded into it."},
    ManualItem{"DIR/.vexal-part-*",
               "Outputs being written. A run killed outright leaves them; the next run in that "
               "folder removes them."},
};

constexpr std::array kToolEnvironment = {kDataHome, kMusicFolder};

constexpr std::array kToolExamples = {
    ManualItem{"vexal-cli --format flac,mp3 --output ~/Music/Converted ~/Downloads/Album",
               "Converts an album folder into FLAC and MP3."},
    ManualItem{"vexal-cli --preset Podcast --normalize lufs --target -16 episode.wav",
               "Starts from a preset and normalises to -16 LUFS."},
    ManualItem{"vexal-cli --sync --delete --copy --format opus --output /srv/opus ~/Music",
               "Keeps an Opus copy of a library up to date, cover art and booklets included."},
    ManualItem{"vexal-cli --json --format flac --jobs 2 *.wav",
               "Converts with two jobs at most and reports JSON events for a script."},
};

constexpr std::array kWindowOptions = {kHelp, kVersion};

constexpr std::array kWindowFiles = {
    ManualItem{"$XDG_CONFIG_HOME/Vexal/settings.json",
               "The window's settings, destination and geometry (~/.config/Vexal/ when "
               "XDG_CONFIG_HOME is unset)."},
    kHistoryFile,
    kPresetsFile,
};

constexpr std::array kWindowEnvironment = {
    kDataHome,
    ManualItem{"XDG_CONFIG_HOME", "Where the settings are kept, and user-dirs.dirs names the "
                                  "Music folder (default ~/.config)."},
    ManualItem{"QT_QPA_PLATFORM",
               "The window system: wayland (native on Wayland desktops) or xcb (X11)."},
};

constexpr std::array kWindowExamples = {
    ManualItem{"vexal ~/Downloads/Album", "Opens the window with an album's files as jobs."},
};

constexpr CommandDescription kTool{
    "vexal-cli",
    "convert audio files, folders and cue sheets without a window",
    "Converts audio files, folders and cue sheets into one or more formats.",
    kToolDetails,
    "PATH",
    "PATH...",
    "Audio files, folders or cue sheets to convert.",
    kToolOptions,
    kToolExitStatus,
    kToolFiles,
    kToolEnvironment,
    kToolExamples,
    "vexal(1)",
};

constexpr CommandDescription kWindow{
    "vexal",
    "convert audio files between formats",
    "Convert audio files between formats.",
    {},
    "paths",
    "[paths...]",
    "Audio files, folders or cue sheets to add as jobs.",
    kWindowOptions,
    {},
    kWindowFiles,
    kWindowEnvironment,
    kWindowExamples,
    "vexal-cli(1)",
};

}  // namespace

const CommandDescription& commandLineToolDescription() { return kTool; }
const CommandDescription& windowDescription() { return kWindow; }

const CommandOption* findOption(const CommandDescription& description, std::string_view name) {
  for (const CommandOption& option : description.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

std::string_view programVersion() { return VEXAL_VERSION; }

}  // namespace vexal
