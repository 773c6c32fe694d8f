/* libosprey: the recording library.
 *
 * A complete sniff-and-record engine behind a plain C interface. A client
 * hands it a capture adapter and a window; the library captures the TCP
 * traffic of that adapter, recognises media downloads, records the HTTP ones
 * whose Host or Referer matches its site list into capture data files,
 * converts every finished recording into a media file on a worker thread,
 * and reports what it sees to the window with messages.
 *
 * Windows. A "window" is a kestrel::platform::MessageSink* passed as void*
 * (platform/message.h): post() queues a message, send() runs the sink's
 * handler on its owning thread and waits for it. NULL is allowed: nothing is
 * reported then. The window given to StartRecord must stay alive until
 * StartRecord has returned and every item it reports has reached a final
 * state (2, 3 or 4), or until the window is closed (a closed sink drops
 * posts and answers sends with 0). The library waits for its worker thread
 * when it is unloaded.
 *
 * Calling order and threads:
 *  1. ReadOptionsFromIniFile (optional, any thread): site list and save folder.
 *  2. GetAdapterList / GetUsableIPInfo (any time, any thread).
 *  3. StartRecord on a thread of the client's own (never the window's
 *     owning thread: the window must keep pumping while StartRecord runs,
 *     because notices are sent synchronously). It returns when capture ends.
 *  4. StopRecord from any other thread: StartRecord returns within about
 *     one second (the read time-out), also on an adapter without traffic.
 *  5. The queries and CancelRecordURL from any thread at any time, also
 *     after capture has ended. They never block on the capture thread.
 *
 * Texts are NUL-terminated UTF-8. Returned texts belong to the library and
 * stay valid until the next call of the same function on the same thread;
 * copy them at once. No function throws across this interface.
 *
 * Item identity: every recording gets an ID, one more than the last one
 * given (the counter starts at StartRecord's idBase); its position is its
 * place in creation order (1 to 1000), used only by the failure message.
 * Items of all capture runs stay in the library's table for the life of the
 * process; once 1000 exist no further item is made.
 */
#ifndef KESTREL_OSPREY_H
#define KESTREL_OSPREY_H

#include <stdint.h>

#if defined(__GNUC__)
#define OSPREY_API __attribute__((visibility("default")))
#else
#define OSPREY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The value StartRecord's first argument must have. */
#define OSPREY_START_KEY 531804

/* Item states as the queries and messages give them. */
#define OSPREY_STATE_RECORDING 1 /* created; body bytes are stored when its site flag is 1 */
#define OSPREY_STATE_DONE 2      /* the output file was written */
#define OSPREY_STATE_FAILED 3    /* its capture data could not be written or read back */
#define OSPREY_STATE_CANCELLED 4 /* CancelRecordURL */
#define OSPREY_STATE_WAITING 6   /* capture finished, waiting for conversion */
#define OSPREY_STATE_CONVERTING 7

/* Messages to the window.
 *
 * OSPREY_WM_COPYDATA (sent; lParam points to an OspreyCopyData that lives
 * only during the call: copy what you need before returning):
 *   dwData 110, wParam 107: response notice, an HttpNotice record; every
 *                           HTTP response that answers a tracked GET, when
 *                           StartRecord's report flag is set
 *   dwData 107, wParam 107: item notice, an HttpNotice record with item ID
 *                           and local name: a record item was made (record
 *                           flag set)
 *   dwData 111, wParam 108: RTMP notice, report flag set
 *   dwData 108, wParam 108: RTMP notice, record flag set (after 111 when
 *                           both flags are set); an RTMP play command was seen
 *   dwData 109, wParam 109: URL notice, the URL as text (cbData = length + 1):
 *                           an RTSP DESCRIBE or MMS open-file request was seen
 *   dwData 201, wParam 201: diagnostic notice, text (cbData = length + 1):
 *                           after each item notice, and a summary of what the
 *                           capture lost at its end; no fixed wording
 * OSPREY_WM_ITEM_STATE (posted): wParam item ID, lParam its new state: 6
 *   when its capture ended, 2 when the worker has written its file.
 * OSPREY_WM_ITEM_FAILED (sent): wParam item position (1 to 1000), lParam 0:
 *   the item failed (state 3): its capture data could not be written, or
 *   was missing, empty or invalid when the worker came to convert it.
 * OSPREY_WM_CAPTURE_ENDED (posted, 0, 0): the capture loop has ended and
 *   the adapter is closed.
 */
#define OSPREY_WM_COPYDATA 0x004A
#define OSPREY_WM_CAPTURE_ENDED 0x0439 /* WM_USER + 57 */
#define OSPREY_WM_ITEM_STATE 0x043A    /* WM_USER + 58 */
#define OSPREY_WM_ITEM_FAILED 0x8007

#define OSPREY_NOTICE_RESPONSE 110
#define OSPREY_NOTICE_ITEM 107
#define OSPREY_NOTICE_RTMP_REPORT 111
#define OSPREY_NOTICE_RTMP_RECORD 108
#define OSPREY_NOTICE_URL 109
#define OSPREY_NOTICE_DIAGNOSTIC 201

typedef struct OspreyCopyData {
    uintptr_t dwData;   /* which notice */
    uint32_t cbData;    /* bytes at lpData */
    const void* lpData;
} OspreyCopyData;

/* HTTP notice record, 2412 bytes, little-endian integers; every text field
 * NUL-terminated and NUL-padded, empty when the value was absent or longer
 * than the field. */
#define OSPREY_HTTP_NOTICE_SIZE 2412
#define OSPREY_HTTP_SERVER_PORT 0   /* 4: server TCP port */
#define OSPREY_HTTP_SITE_FLAG 4     /* 4: 1 when Host or Referer matched the site list */
#define OSPREY_HTTP_ITEM_ID 8       /* 4: item notice only */
#define OSPREY_HTTP_HOST 12         /* 300 */
#define OSPREY_HTTP_TARGET 312      /* 1300: request target of the GET line */
#define OSPREY_HTTP_CONTENT_TYPE 1612 /* 200 */
#define OSPREY_HTTP_REFERER 1812    /* 500 */
#define OSPREY_HTTP_LOCAL_NAME 2312 /* 100: item notice only */

/* RTMP notice record, 2816 bytes. */
#define OSPREY_RTMP_NOTICE_SIZE 2816
#define OSPREY_RTMP_SERVER_PORT 0 /* 4; bytes 4-15 are 0 */
#define OSPREY_RTMP_TC_URL 16     /* 500 */
#define OSPREY_RTMP_APP 516       /* 200 */
#define OSPREY_RTMP_STREAM 716    /* 500: stream name of the play command */
#define OSPREY_RTMP_SWF_URL 1216  /* 1000 */
#define OSPREY_RTMP_PAGE_URL 2216 /* 500; bytes 2716-2815 are 0 */

/* Runs capture on the calling thread until it ends. key: OSPREY_START_KEY.
 * source: the adapter's capture source name ("rpcap://eth0", "eth0", or
 * "file://PATH" to replay a capture file). netmask: the adapter's mask as
 * its four bytes stand in memory (GetAdapterList's NETMASK). report: send
 * response and RTMP report notices. record: make record items and send item
 * and RTMP record notices. ignored: any value. idBase: the first item gets
 * idBase + 1.
 * Returns 0 when the key is wrong (nothing done, nothing posted) or when
 * capture has ended (OSPREY_WM_CAPTURE_ENDED was posted); -1 when the
 * adapter cannot be opened, is not Ethernet, the filter cannot be set, or
 * another StartRecord is still running (nothing posted). */
OSPREY_API int StartRecord(int key, void* window, const char* source, uint32_t netmask, int report, int record,
                           int ignored, int idBase);

/* Ends the running capture within about a second. Always 0. */
OSPREY_API int StopRecord(void);

/* Sets the item's state to 4: it receives no more data and is not
 * converted (a conversion under way is abandoned); its capture files stay.
 * Unknown IDs change nothing. Always 0. */
OSPREY_API int CancelRecordURL(void* window, int id);

/* Body bytes received so far (each byte counted once); 0 for unknown IDs. */
OSPREY_API int GetRecordedSize(void* window, int id);
/* The response's Content-Length, raised to the received bytes when those
 * are more (so a response without one gives the received bytes); 0 for
 * unknown IDs. Sizes above 2^31 - 1 read as 2147483647. */
OSPREY_API int GetTotalSize(void* window, int id);
/* recorded / total as a percentage rounded half up to one decimal (1 of 3
 * bytes: 33.3); 0.0 for unknown IDs or a total of 0. */
OSPREY_API double GetRecordPercent(void* window, int id);
/* The file name the item's output has (or will have) in the save folder:
 * its URL-derived local name, made unique once the file is written, or its
 * recording number when it has no local name or the renaming failed. Empty
 * text for unknown IDs. */
OSPREY_API const char* GetLocalNameViaIdinDll(void* window, int id);

/* Always 0. */
OSPREY_API int GetTotalDuration(void* window, int id);
OSPREY_API int GetRecordedTimestamp(void* window, int id);
OSPREY_API int CheckWinpcap(void* window);

/* 1 when a response with this MIME type to a request for this URL or path
 * would become a record item, else 0 (also once 1000 items exist). NULL
 * reads as the empty text. */
OSPREY_API int CheckURLNeedDownload(void* window, const char* url, const char* mime);

/* Loads the site list (one entry per line, at most 200; a missing file
 * keeps the list loaded before) and sets the save folder, creating it and
 * its "Temp/" subfolder. A folder without a trailing '/' gets one. Without
 * a call the list is empty and the folder is $HOME/Gannet/ (not created).
 * Always 0. */
OSPREY_API int ReadOptionsFromIniFile(void* window, const char* siteListPath, const char* saveFolder);

/* The capture adapters: for each adapter, in the order libpcap lists them,
 * "SOURCE|DESCRIPTION|NETMASK|ADDRESS<|>". SOURCE is the capture source name
 * ("rpcap://eth0"); DESCRIPTION the driver's description without its wrapping
 * text; NETMASK the mask's four bytes read as a little-endian 32-bit integer,
 * in decimal (255.255.255.0 is 16777215; an adapter without IPv4 address
 * repeats the previous entry's value, 16777215 before the first); ADDRESS the
 * dotted IPv4 address or "N/A". With several IPv4 addresses the last counts.
 * Empty text when the adapters cannot be listed or there are none. */
OSPREY_API const char* GetAdapterList(void* window);

/* The usable local IPv4 addresses (interfaces up, running, not loopback):
 * "|" before each dotted address, e.g. "|192.168.1.5|10.0.0.2"; empty text
 * when there is none or the table cannot be read. */
OSPREY_API const char* GetUsableIPInfo(void* window);

#ifdef __cplusplus
}
#endif

#endif
