// The job worker's contract: what the server hands the program that turns
// one job's document into printer bytes, and what it reads back. The server
// side is app/worker.h (the process boundary) and app/job_runner.h; the
// program is qmx415u-app-worker (app/worker_main.cc).
//
// Every document a client sends is kept whole on the server's disk before
// it is accepted (app/job_queue.h), so the worker reads the document itself,
// from the start, as often as copies ask:
//
//   argv    WORKER job-id user title copies options
//           copies   1 to kMostCopies; each copy is a job of its own for the
//                    plug-in (preamble, pages, feeds, cut), the document's
//                    pages in order (collated)
//           options  Name=Value ..., cupsParseOptions syntax:
//                      every print option by its frontend name (CutMedia=...,
//                      frontend/print_options.h), already resolved by the
//                      server from the job and the printer's defaults;
//                      and the document's placement (kOption* below).
//                      A value that does not read fails the worker (exit
//                      1): nothing prints with a value nobody asked for.
//                      An unknown name is a WARNING: and left aside.
//   stdin   the document: a regular file opened read-only (seekable; read it
//           again for each copy). Never a pipe. The worker checks all of it
//           (every raster page header and row; a picture decoded whole)
//           before anything prints.
//   stdout  the printer's bytes framed by command group (host/group_frames.h)
//   stderr  a line each: "PAGE: n 1" as page n starts (n counts over the
//           copies), INFO: (a picture's size and where it is placed),
//           WARNING: (a part of a picture or page that falls outside the
//           head), ERROR: (the last ERROR: says why it failed)
//   SIGTERM a cancel: the worker ends the plug-in job on a whole command
//           and exits 0 without starting another page
//   exit    0                   every page of every copy printed
//           kExitDocumentRefused the document cannot be printed as it is
//                               (damaged, hostile, past the bounds of
//                               documents/picture.h, a page the printer
//                               cannot take, not the format it is said to
//                               be); nothing of it printed
//           anything else       the worker failed; its ERROR: line says why
//
// The worker runs without privileges, under a seccomp filter, with bounds on
// its memory and time (app/worker.h); it also bounds what a document can
// make it allocate or loop over (documents/picture.h, frontend's page
// height), and refuses what exceeds the bounds.
//
// Environment: TMPDIR, where the plug-in's page files go (a folder of the
// worker's own); QMX415U_PLUGIN names another plug-in than the installed
// one (tests). The output is always framed: no other setting is needed.
//
// Documents (document-format; application/octet-stream or none: known by
// their first bytes):
//   image/pwg-raster (sgray_8, black_1), image/urf (W8)
//            pages at 203 dpi, placed as the CUPS filter places them, the
//            printable area media-left-margin in; a page at another
//            resolution or wider than media-size is refused.
//            print-scaling and orientation-requested do not apply.
//   image/png, image/jpeg, image/x-portable-bitmap
//            a picture, placed on the media as documents/placement.h says.
#ifndef QMX_APP_DOCUMENT_WORKER_H_
#define QMX_APP_DOCUMENT_WORKER_H_

namespace app {

inline constexpr int kExitDocumentRefused = 3;
inline constexpr long kMostCopies = 999;

// The document's own options (besides the print options):
//   document-format=MIME      image/pwg-raster, image/urf, image/png,
//                             image/jpeg, image/x-portable-bitmap
//   media-size=WxL            the job's media in hundredths of a millimetre
//                             (e.g. 8000x29700)
//   media-left-margin=N       hundredths of a millimetre from the media's
//                             left edge to the head's first dot
//   media-named=true|false    whether the job named its media; when it did
//                             not, a picture's page is as long as the picture
//   print-scaling=KEYWORD     auto, auto-fit, fill, fit, none (IPP)
//   orientation-requested=N   3 portrait (default), 4 landscape, 5 reverse
//                             landscape, 6 reverse portrait (IPP enum)
// Any left out takes its default: 8000x29700, 400, false, auto, 3.
inline constexpr const char* kOptionFormat = "document-format";
inline constexpr const char* kOptionMediaSize = "media-size";
inline constexpr const char* kOptionLeftMargin = "media-left-margin";
inline constexpr const char* kOptionMediaNamed = "media-named";
inline constexpr const char* kOptionScaling = "print-scaling";
inline constexpr const char* kOptionOrientation = "orientation-requested";

}  // namespace app

#endif  // QMX_APP_DOCUMENT_WORKER_H_
