// Offline Windows detection: after a capture, find a Windows installation inside the
// captured folder, load copies of its SOFTWARE and SYSTEM hives, read what describes it, and
// record that as a WINDOWS element (and FLAGS with the edition when the image has none) in
// the captured image's XML information.
//
// Detection is best effort and silent: it logs nothing, never fails the capture and leaves
// the thread's last-error code as it found it. Its only visible effect besides the XML is
// the caller's XML error hook, called when the image's information cannot be read. Every
// way out of a run leaves no "OFL_SOFTWARE"/"OFL_SYSTEM" key that it loaded; once it has
// begun copying, every way out deletes both ".OFL" copy paths (a copy left by an earlier,
// interrupted run included), and a run that ends sooner writes nothing. Only the two enabled
// privileges outlive it.
//
// The hive copies are written only when the folder that holds them lies inside the captured
// folder once symbolic links are followed; otherwise the run ends before writing anything.
//
// Letter case: Linux file systems tell "Windows/System32/kernel32.dll" and
// "WINDOWS/System32/Kernel32.dll" apart, Windows does not. Every file lookup of detection
// (candidate folders, hive files, the kernel file) tries, for each path component, every
// entry whose name matches without letter case, in a fixed order: the exact name first,
// then the others in byte order; a variant that does not lead to the whole path is left
// for the next one. Paths use '/'.
//
// Runs on the capture's worker thread. Not reentrant: the registry key names are fixed, so
// a second run at the same time cannot load its hives and ends without a WINDOWS element.
#pragma once

#include "meta/ImageInfo.h"
#include "platform/WinTypes.h"

#include <QString>

#include <cstdint>
#include <vector>

// One hive of the installation: the file, its scratch copy beside it, and the key name the
// copy is loaded under below HKEY_LOCAL_MACHINE.
struct OfflineHive {
    QString sourcePath; // <root>/System32/config/SOFTWARE (or SYSTEM), as found on disk
    QString copyPath;   // sourcePath + ".OFL"
    QString keyName;    // "OFL_SOFTWARE" or "OFL_SYSTEM"
};

struct LanguageEntry {
    QString languageName;   // the language's subkey name as the registry spells it
    std::uint32_t lcid = 0; // 0 when it could not be read
};

// What describes the installation; every text starts empty.
struct WindowsDescriptor {
    QString editionId;                    // FLAGS (only when added), upper-cased
    QString arch;                         // ARCH: "9" x64, "6" Itanium, "0" otherwise
    QString productName;                  // PRODUCTNAME, from Kernel32.dll's version resource
    QString hal;                          // HAL: first hardware identifier
    QString productType;                  // PRODUCTTYPE
    QString productSuite;                 // PRODUCTSUITE: first string
    std::vector<LanguageEntry> languages; // LANGUAGES/LANGUAGE, in enumeration order
    QString defaultLanguage; // LANGUAGES/DEFAULT: the entry whose LCID is the install language
    QString major;           // VERSION/MAJOR ... of Kernel32.dll's file version, decimal
    QString minor;
    QString build;
    QString spBuild;
    QString systemRoot; // SYSTEMROOT: system folder without its drive, upper-cased
};

// The whole run, called by the capture right after the image was captured and before the
// page's NAME, DESCRIPTION, FLAGS, DISPLAYNAME and DISPLAYDESCRIPTION are set. `image` is the
// new image's handle; `capturedFolder` the full path that was captured. onXmlError is
// called (once) when the image's XML cannot be read; nothing is written then.
void DetectOfflineWindows(HANDLE image, const XmlErrorReport& onXmlError,
                          const QString& capturedFolder);

// Tries <folder>/WINDOWS, /WINNT, /I386, /AMD64, /IA64 in this order (one trailing '/' of
// the folder removed first), each in every letter-case variant present before the next
// name; the first that IsSystemRoot accepts is put in `root` as found on disk. The folder
// itself is never a candidate.
bool FindSystemRoot(const QString& capturedFolder, QString& root);
// True when <candidate>/System32/config/SOFTWARE, .../config/SYSTEM and
// .../System32/Kernel32.dll all exist (of any kind: a folder named Kernel32.dll counts),
// each looked up in every letter-case variant below the candidate.
bool IsSystemRoot(const QString& candidate);
// `relative` ('/'-separated) below `base` as it exists on disk: `base` as it is, each
// component of `relative` in its letter-case variants (exact name first, then byte order),
// depth first. Empty when no variant of the whole path exists.
QString ResolvePathCase(const QString& base, const QString& relative);
// Enables a privilege in the process's token; true only when it is now enabled.
bool EnablePrivilege(const QString& privilegeName);
// The text of a value below HKEY_LOCAL_MACHINE (`subKeyPath` starts with the loaded key
// name, components split by backslashes), up to its first NUL: a multi-string gives its
// first string, an expandable string its unexpanded text. Empty on any failure.
void ReadRegistryString(const QString& subKeyPath, const QString& valueName, QString& value);

// Fills the descriptor while OFL_SOFTWARE and OFL_SYSTEM are loaded. What cannot be read
// stays empty (arch then "0"; the version fields "0" when Kernel32.dll has a version
// resource without fixed file information). A text holding a character XML 1.0 cannot
// carry (isXmlText) counts as unreadable and stays empty too.
void ReadWindowsDescriptor(WindowsDescriptor& descriptor, const QString& kernelPath);
// The installed user-interface languages (MUI\UILanguages of ControlSet001) and the one
// whose LCID equals InstallLanguage read as hexadecimal; an InstallLanguage that is missing
// or holds no hexadecimal digits makes no entry the default.
void ReadLanguages(WindowsDescriptor& descriptor);
// The "ProductName" string of the file's version resource, under the first language and
// code page of its translation table (04090000 without one). False and `text` untouched when
// the file has no version resource; false and `text` cleared when the string is missing. The
// whole string is kept, however long.
bool ReadVersionString(const QString& filePath, QString& text);
// The four parts of the file version (not the product version) as decimal texts. False with
// the outputs untouched without a version resource; false with all four "0" when the
// resource has no fixed file information.
bool ReadFileVersion(const QString& filePath, QString& major, QString& minor, QString& build,
                     QString& spBuild);
// Adds the WINDOWS element as the first child of the image's XML unless one exists, then
// FLAGS holding the edition as the first child when the image has no FLAGS and the edition
// is known, and stores the XML back (also when nothing was added). An unreadable XML calls
// onXmlError and writes nothing.
void WriteWindowsElement(const XmlErrorReport& onXmlError, HANDLE image,
                         const WindowsDescriptor& descriptor);
