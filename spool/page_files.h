// Temporary page files: one file per page in the common-documents folder,
// named "<folder>\QMX$$<nnnn>.<page>", plus one scratch name "<...>.TMP"
// per job. A page file is the page's blank top lines followed by the bytes
// of every stored call; no header, no trailer.
//
// All names live in the job state's 256-character strings; every operation
// here keeps them NUL-terminated within that bound.
#ifndef QMX_SPOOL_PAGE_FILES_H_
#define QMX_SPOOL_PAGE_FILES_H_

#include <cstdint>

#include "platform/wide.h"

namespace spool {

// Longest folder path for which every name fits: the folder, "\QMX$$",
// four digits, "." and a five-digit page number plus the terminator.
inline constexpr std::size_t kMaxFolderChars = 239;

// Fills pageFilePath and scratchFilePath with the common-documents folder
// (one trailing backslash removed). False when the folder is unknown or too
// long for the names; both strings are then empty.
bool loadSpoolFolder();

// pageFilePath holds the folder; afterwards the folder, "\QMX$$", the first
// number whose ".001" name could be created new, and ".". When none could
// (every name taken, or the folder cannot be written), the number is 9999
// and the result false.
bool makePageFileBase();
// scratchFilePath holds the folder; afterwards "...\QMX$$<nnnn>.TMP".
void makeScratchFilePath();
// Appends the page number, at least three digits, to pageFilePath.
void appendPageNumber(std::uint16_t pageNumber);
// pageFilePath = pageFileBase followed by the page number.
void selectPageFile(std::uint16_t pageNumber);

// Records that page `pageNumber`'s file may be on disk (see
// jobstate::JobState::pageFilesOnDisk), or that it is gone.
void notePageFile(std::uint16_t pageNumber, bool onDisk);
// Deletes page `pageNumber`'s file, leaving pageFilePath naming it. A
// failure keeps the page noted, for deleteNotedPageFiles to try again.
void deletePageFile(std::uint16_t pageNumber);
// Deletes the file of every noted page (a second time if the first
// attempt fails), and forgets them all.
void deleteNotedPageFiles();
// Creates (or empties) pageFilePath's file holding the page's top lines.
void createPageFile();
// Appends `length` bytes to pageFilePath's file, creating it if missing.
void appendToPageFile(const std::uint8_t* data, std::uint32_t length);

}  // namespace spool

#endif  // QMX_SPOOL_PAGE_FILES_H_
