#ifndef KESTREL_HARRIER_H
#define KESTREL_HARRIER_H
/*
 * Harrier, the URL recorder library. Two recording services for a host
 * window:
 *   - URL downloads: Harrier_GetFlvOverHttp hands over the URL of a media
 *     file; a worker thread fetches it with a plain HTTP/1.1 GET and stores
 *     the body as an FLV file in the output folder.
 *   - Live capture: Harrier_Startup opens a capture source, records every
 *     RTMP stream that a server starts playing into a stream record file
 *     (merlin/stream_record.h; Merlin turns it into FLV), and hands FLV
 *     downloads it sees requested over HTTP to the download service.
 *
 * The host learns everything from window messages (HARRIER_MSG_CAPTURE,
 * HARRIER_MSG_DOWNLOAD) posted, or sent where said, to the handle given to
 * Harrier_SetWndHandle, plus the last-error text.
 *
 * Window handle: a platform::MessageSink pointer (platform/message.h). It
 * must stay valid, and its owning thread must keep pumping, for as long as
 * any capture or download may still report: sent messages block the
 * reporting thread until the owner has handled them.
 *
 * Threads: the exports are meant for the host's thread, and every one may
 * be called from any thread. Reports arrive from Harrier's own threads: the
 * live-capture thread, one thread per capture item, one per download.
 * Harrier_Startup, Harrier_Halt, and Harrier_EndRecord/Harrier_DeleteRecord
 * for a download block the caller until the threads they start or stop have
 * reached that point; none of those threads ever sends to the host, so the
 * host may call them from its own thread. A capture item's end reports
 * (HARRIER_CAPTURE_ENDED, _DELETED, _LOST) are sent, the others posted.
 *
 * Ownership:
 *   - Strings passed in are copied before the call returns.
 *   - The lParam of an item report points to a HarrierItemReport owned by
 *     Harrier. Every item has a block of its own, and blocks are never
 *     freed or reused while the library is loaded, so a host may keep the
 *     pointer. Harrier's threads update `bytes`, `gapRecords` and, for a
 *     download, `fileName` (empty, then the ".@@@" path, then the ".flv"
 *     path) while the item runs; Harrier_CopyReport gives a consistent copy.
 *   - The lParam of HARRIER_DOWNLOAD_WAITING points to a NUL-terminated
 *     copy of the URL that is never freed while the library is loaded.
 *   - Harrier_GetLastError copies into the host's buffer.
 *
 * No export throws.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HARRIER_EXPORT __attribute__((visibility("default")))

/* Places of each item table: item indexes are 0 .. HARRIER_ITEM_PLACES-1. */
#define HARRIER_ITEM_PLACES 9
/* URLs (with their terminating NUL) must fit in this many characters. */
#define HARRIER_MAX_URL 1024
/* Size of a report block's file name field, NUL included. */
#define HARRIER_MAX_PATH 1024
/* The last-error text holds at most this many characters. */
#define HARRIER_MAX_ERROR 1024

/* Window messages to the host (WM_APP + 0x20, WM_APP + 0x21). */
#define HARRIER_MSG_CAPTURE 0x8020
#define HARRIER_MSG_DOWNLOAD 0x8021

/* HARRIER_MSG_CAPTURE wParam values. */
#define HARRIER_CAPTURE_FAILED 1   /* lParam 0: the live capture failed to start or stopped
                                      with an error; the last error says why */
#define HARRIER_CAPTURE_STARTED 10 /* a capture item was created (a stream starts playing) */
#define HARRIER_CAPTURE_ENDED 11   /* sent: the capture item ended normally */
#define HARRIER_CAPTURE_DELETED 12 /* sent: the item ended after Harrier_DeleteRecord; its
                                      record file is deleted */
#define HARRIER_CAPTURE_LOST 13    /* sent: the item ended because of lost packets ("Packets
                                      loss!") or because its record file could not be
                                      written; the last error says which */
#define HARRIER_NO_FREE_PLACE 14   /* lParam 1: a new stream or download found no free place */

/* HARRIER_MSG_DOWNLOAD wParam values; lParam is the item's report block
 * except for HARRIER_DOWNLOAD_WAITING. */
#define HARRIER_DOWNLOAD_STARTED 10 /* a download was started by a new request */
#define HARRIER_DOWNLOAD_WAITING 11 /* lParam: the URL text; it was put on the waiting list */
#define HARRIER_DOWNLOAD_WRITING 12 /* the file was created; the data transfer begins */
#define HARRIER_DOWNLOAD_STORED 13  /* the download ended with a stored file */
#define HARRIER_DOWNLOAD_FAILED 14  /* the download ended without a file (request failed,
                                       connection failed, or deleted) */
#define HARRIER_DOWNLOAD_RETRIED 15 /* a download was started by a retry (request flag 0) */
#define HARRIER_DOWNLOAD_NOT_FLV 16 /* the response was not FLV data */

/* Results of Harrier_GetFlvOverHttp. */
#define HARRIER_URL_STARTED 0   /* started, or nothing to do */
#define HARRIER_URL_QUEUED 2    /* put on the waiting list (no free download place) */
#define HARRIER_URL_DUPLICATE 3 /* the URL is being downloaded */
#define HARRIER_URL_NO_TARGET 4 /* the URL failed before (its server answered with a status
                                   outside 200-299), or it cannot be fetched: missing, of
                                   HARRIER_MAX_URL characters or more, or holding control
                                   characters */

/* Results of Harrier_Startup. */
#define HARRIER_STARTED 1
#define HARRIER_ALREADY_RUNNING 2
#define HARRIER_BAD_PACKET_TYPE (-2)
#define HARRIER_BAD_PARAMETER (-3) /* a string is missing, or too long for its field: the output
                                      folder (259 characters), device name and filter (1023) */

/* The item report block. A report's lParam points to the block of its item;
 * the first three fields are the block as every host reads it, the last two
 * are additions of this library. */
typedef struct HarrierItemReport {
    int32_t index;                   /* the item's place, 0..8 */
    char fileName[HARRIER_MAX_PATH]; /* NUL-terminated; downloads: empty until the file exists */
    uint32_t bytes;                  /* downloads: body bytes stored; captures: stream bytes
                                        written (saturates at 0xFFFFFFFF) */
    uint32_t gapRecords;             /* captures: records written after bytes that were never
                                        captured (0: the record file has no hole) */
    char url[HARRIER_MAX_URL];       /* downloads: the URL; captures: empty */
} HarrierItemReport;

/* What the live capture saw; see Harrier_GetCaptureStats. */
typedef struct HarrierCaptureStats {
    int32_t running;          /* 1 while the live capture runs (a replayed file ends by itself) */
    int32_t kernelKnown;      /* 1 when the kernel's counts below are known (live adapters) */
    uint64_t received;        /* packets that passed the filter (kernel) */
    uint64_t dropped;         /* packets the kernel dropped: its capture buffer was full */
    uint64_t interfaceDropped;
    uint64_t cutFrames;       /* frames cut by the snapshot length: never recorded */
} HarrierCaptureStats;

/* Stores the host's window handle. Returns 1. Call it before the other
 * exports; a second call only replaces the handle. */
HARRIER_EXPORT int32_t Harrier_SetWndHandle(void* windowHandle);

/* Starts the live capture on a capture source ("rpcap://DEV" or "DEV" for a
 * live adapter, "file://PATH" to replay a pcap file) and sets the output
 * folder and the number of places (capacity, 0..9; taken at every call) of
 * both the capture and the download table. packetType chooses the filter:
 * 2, 3 "tcp"; 4, 5 "udp"; 1, 6, 7 "tcp or udp"; hostFilter, unless exactly
 * "N/A", restricts it to one host ("host HOSTFILTER and ..."). netmask is
 * the capture network's mask for the filter compiler. Creates the output
 * folder when it does not exist, calls Merlin_InitDll with the host window,
 * waits until the capture thread runs and returns HARRIER_STARTED; a source
 * that cannot be opened or filtered is then reported with
 * HARRIER_CAPTURE_FAILED. Returns HARRIER_ALREADY_RUNNING while a capture
 * runs, HARRIER_BAD_PACKET_TYPE (last error "Unsupport packet type!") for a
 * packet type outside 1..7, HARRIER_BAD_PARAMETER for unusable strings. */
HARRIER_EXPORT int32_t Harrier_Startup(const char* outputFolder, const char* deviceName, uint32_t netmask,
                                       int32_t packetType, const char* hostFilter, int32_t capacity);

/* Stops the live capture when it runs and waits (at most about a second)
 * until it has ended; empties the waiting list. Capture items go on until
 * they end by themselves. Returns 1. */
HARRIER_EXPORT int32_t Harrier_Halt(void);

/* Returns 1; no effect. */
HARRIER_EXPORT int32_t Harrier_GetInfo(void);

/* Ends an item and keeps its file. kind 0: the capture item at index (its
 * thread writes what it holds and reports; the call does not wait);
 * otherwise the download at index (the call waits until its thread ended).
 * An index without an item is ignored. Returns 1. */
HARRIER_EXPORT int32_t Harrier_EndRecord(int32_t kind, int32_t index);

/* As Harrier_EndRecord, and the item's file is deleted. Returns 1. */
HARRIER_EXPORT int32_t Harrier_DeleteRecord(int32_t kind, int32_t index);

/* Removes the first waiting-list entry equal to url (exact, case-sensitive). */
HARRIER_EXPORT void Harrier_DeleteWaitting(const char* url);

/* Admits url to a download place or the waiting list. requestFlag 1: a new
 * request from the user; 0: a retry of a waiting URL (it then leaves the
 * waiting list when it starts, and nothing changes without a place).
 * Returns one of HARRIER_URL_*. */
HARRIER_EXPORT int32_t Harrier_GetFlvOverHttp(const char* url, int32_t requestFlag);

/* Copies the last-error text: at most min(length, HARRIER_MAX_ERROR)
 * characters, NUL-terminated when the text is shorter than that (not
 * terminated when the text fills them). Returns 1. */
HARRIER_EXPORT int32_t Harrier_GetLastError(char* buffer, int32_t length);

/* Additions of this library. */

/* Copies a report block (an lParam of Harrier's) consistently, while no
 * thread of Harrier changes it. Returns 1, or 0 when either pointer is null. */
HARRIER_EXPORT int32_t Harrier_CopyReport(const HarrierItemReport* report, HarrierItemReport* copy);

/* The live capture's state and counts: the current capture while it runs,
 * else the last one's (all 0 before the first). Returns 1, or 0 when stats
 * is null. */
HARRIER_EXPORT int32_t Harrier_GetCaptureStats(HarrierCaptureStats* stats);

/* The host name of the video-sharing site whose ".../get_video?video_id="
 * requests count as FLV downloads (compared without regard to case). Empty
 * or null (the default): no site. Names of 256 characters or more are
 * refused (returns 0); returns 1 otherwise. */
HARRIER_EXPORT int32_t Harrier_SetVideoHost(const char* hostName);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_HARRIER_H */
