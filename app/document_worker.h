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
//                      and the document's placement (kOption* below)
//   stdin   the document: a regular file opened read-only (seekable; read it
//           again for each copy). Never a pipe.
//   stdout  the printer's bytes framed by command group (host/group_frames.h)
//   stderr  a line each: "PAGE: n 1" as page n starts (n counts over the
//           copies), INFO:, WARNING:, ERROR: (the last ERROR: says why it
//           failed)
//   SIGTERM a cancel: the worker ends the plug-in job on a whole command
//           and exits 0 without starting another page
//   exit    0                   every page of every copy printed
//           kExitDocumentRefused the document cannot be printed as it is
//                               (damaged, hostile, a page the printer cannot
//                               take); nothing of the refused page printed
//           anything else       the worker failed; its ERROR: line says why
//
// The worker runs without privileges, under a seccomp filter, with bounds on
// its memory and time (app/worker.h); it must also bound what a document can
// make it allocate or loop over, and refuse what exceeds the bounds.
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
inline constexpr const char* kOptionFormat = "document-format";
inline constexpr const char* kOptionMediaSize = "media-size";
inline constexpr const char* kOptionLeftMargin = "media-left-margin";
inline constexpr const char* kOptionMediaNamed = "media-named";
inline constexpr const char* kOptionScaling = "print-scaling";
inline constexpr const char* kOptionOrientation = "orientation-requested";

}  // namespace app

#endif  // QMX_APP_DOCUMENT_WORKER_H_
