/* libcurlew: the outside converter plug-in, loaded by name at run time.
 *
 * CreateRtmpFile converts a raw RTMP chunk-stream file (the server-to-client
 * bytes of one connection, already in order and without repeats) into an
 * FLV file.
 *
 * Arguments, in this order: reserved (0); the caller's window handle (not
 * used; may be null); three reserved values (0); the raw stream path; the
 * output path; reserved (1). Paths are NUL-terminated UTF-8.
 *
 * When the call returns, the output path holds the converted FLV file, or
 * no file at all when nothing could be converted (an unreadable source, an
 * output that cannot be created, or a stream in which no chunk boundary can
 * be found). Returns 0 after a conversion, a negative value otherwise; the
 * caller of this plug-in judges the output by its size and does not need
 * the value. The file holds only bytes of the stream: a message that does
 * not arrive whole (whatever length its header announced) leaves no tag,
 * so the output is never much larger than the stream. Only a regular file
 * is read as the raw stream; a FIFO or a device gives -1.
 *
 * Beside the raw stream there may be a list of the places where bytes of
 * the connection were never captured (raw stream path + ".gaps": one
 * decimal byte offset of the raw stream per line). The converter then
 * starts afresh at each of them instead of reading across the seam.
 *
 * Threads: each call is independent and may run on any thread; calls for
 * different files may run at the same time. Nothing is kept between calls.
 */
#ifndef KESTREL_CURLEW_H
#define KESTREL_CURLEW_H

#if defined(__GNUC__)
#define CURLEW_API __attribute__((visibility("default")))
#else
#define CURLEW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

CURLEW_API int CreateRtmpFile(int reserved1, void* window, int reserved2, int reserved3, int reserved4,
                              const char* rawStreamPath, const char* outputPath, int reserved5);

#define CURLEW_GAP_LIST_SUFFIX ".gaps"

typedef int (*CreateRtmpFileFn)(int, void*, int, int, int, const char*, const char*, int);

#ifdef __cplusplus
}
#endif

#endif
