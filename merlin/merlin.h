#ifndef KESTREL_MERLIN_H
#define KESTREL_MERLIN_H
/*
 * Merlin, the FLV builder library: turns a stream record file (the raw
 * server-to-client bytes of an RTMP connection, see stream_record.h) into an
 * FLV file. Each conversion runs on threads of its own in one of nine
 * conversion slots; the host starts it, polls the slot and finally releases
 * the slot.
 *
 * Calling order for a host:
 *   Merlin_InitDll(handle);
 *   slot = Merlin_Start(recordFile, outputFlv);
 *   poll Merlin_DisposeBytes(slot) / Merlin_TotalBytes(slot) for progress and
 *     Merlin_IsBuildFinish(slot) for the end;
 *   then read Merlin_GetResult(slot) (and Merlin_GetFaults(slot) for what
 *     went wrong), Merlin_MakeBytes(slot) and Merlin_GetNewFileName(slot, buf);
 *   finally Merlin_InitItem(slot) to release the slot.
 * The library never releases a slot by itself.
 *
 * Threads: every export may be called from any thread. Merlin_Start returns
 * at once; the conversion runs on a worker thread and a converter thread
 * owned by the library. The byte counts and the finished flag may be read at
 * any time (they are atomic); the result, the faults, the new file name and
 * the output length are final once Merlin_IsBuildFinish returns 1.
 *
 * Ownership: paths passed in are copied before Merlin_Start returns. The
 * library keeps no pointer of the host's. Merlin_GetNewFileName copies into
 * the host's buffer, which must hold MERLIN_MAX_PATH characters.
 *
 * Results of a conversion:
 *   - The FLV file is written under the output path. When the stream
 *     announced its name ("Started playing NAME."), the file is renamed to
 *     NAME.flv in the output's folder, with "[n]" before ".flv" when that
 *     name is taken; Merlin_GetNewFileName then gives the final path. The
 *     name is only the last part of the announced path, never "." or "..",
 *     so the file stays in the output's folder. When no rename is possible
 *     the file keeps the output path and there is no new file name.
 *   - The FLV file holds only bytes that arrived: a message whose bytes did
 *     not all come (cut by the next message of its chunk stream, by lost
 *     bytes or by the end of the source, or given up by the server with an
 *     Abort Message) leaves no tag, whatever length its header announced.
 *   - The source record file is deleted only after a complete conversion
 *     (MERLIN_RESULT_COMPLETE): the stream was followed to the end of the
 *     file, every record was intact, the output was written, and no chunk
 *     header was refused and no message cut short before the first gap
 *     record (after one, such damage is taken as the cost of the bytes the
 *     recorder lost; a message the server gave up, or one the recording
 *     stopped inside, is no damage either). In every other case it is kept, so that nothing the
 *     host cannot rebuild is lost: a damaged or cut record file, a stream
 *     with headers that cannot be right or messages cut short
 *     (MERLIN_RESULT_PARTIAL: the output holds what could be converted), no
 *     point to follow (MERLIN_RESULT_NOT_SYNCHRONISED: the output holds only
 *     the FLV file header and Merlin_MakeBytes gives 0), a source that
 *     cannot be opened or is not a regular file (MERLIN_RESULT_SOURCE_ERROR:
 *     no output is created; a FIFO or a device is never read), an output
 *     that cannot be created or written (MERLIN_RESULT_OUTPUT_ERROR).
 *   - In each of those cases the slot still becomes finished.
 *
 * Errors are return codes; no export throws.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MERLIN_EXPORT __attribute__((visibility("default")))

/* Paths (with their terminating NUL) must fit in this many characters. */
#define MERLIN_MAX_PATH 260
/* Number of conversion slots; slot indexes are 0 .. MERLIN_SLOT_COUNT-1. */
#define MERLIN_SLOT_COUNT 9

#define MERLIN_ERR_NO_SLOT (-1)  /* all slots in use, or no thread could be started */
#define MERLIN_ERR_BAD_PATH (-2) /* a path is missing, empty, or 260 characters or longer */

/* How a conversion ended (Merlin_GetResult). Only COMPLETE deletes the source. */
#define MERLIN_RESULT_RUNNING 0          /* not finished yet, or no such slot */
#define MERLIN_RESULT_COMPLETE 1         /* everything converted; the source was deleted */
#define MERLIN_RESULT_PARTIAL 2          /* the output holds what could be converted, but not all of
                                            the source (Merlin_GetFaults says why); source kept */
#define MERLIN_RESULT_NOT_SYNCHRONISED 3 /* nothing to follow as a chunk stream (too short, not a
                                            stream, or not a record file); only the FLV header was
                                            written; source kept */
#define MERLIN_RESULT_SOURCE_ERROR 4     /* the source cannot be opened or is not a regular file;
                                            no output; source kept */
#define MERLIN_RESULT_OUTPUT_ERROR 5     /* the output cannot be created or written; source kept */
#define MERLIN_RESULT_NOT_RUN 6          /* no memory or no thread for the conversion; source kept */

/* What kept a conversion from being complete (Merlin_GetFaults): any of
 * these bits, 0 for a complete conversion. */
#define MERLIN_FAULT_DAMAGED_RECORD 0x01  /* a record header that no recorder writes: the file's
                                             framing is damaged (or it is not a record file) */
#define MERLIN_FAULT_CUT_RECORD 0x02      /* the file ends inside a record: it was cut short */
#define MERLIN_FAULT_REFUSED_HEADER 0x04  /* chunk headers that cannot be right, outside recorded
                                             gaps: the bytes up to the next usable point were
                                             passed over */
#define MERLIN_FAULT_CUT_MESSAGE 0x08     /* messages that ended before their announced length,
                                             outside recorded gaps: their tags were left out */
#define MERLIN_FAULT_READ_ERROR 0x10      /* the source could not be read to its end */
#define MERLIN_FAULT_WRITE_ERROR 0x20     /* writing the output failed */

/* Stores the host's message-sink handle (platform/message.h; may be null).
 * The library keeps it but sends no messages. Call once before the other
 * exports; calling it again only replaces the handle. */
MERLIN_EXPORT void Merlin_InitDll(void* windowHandle);

/* Starts converting sourcePath (a stream record file) into outputPath (an
 * FLV file, created or truncated). Returns the slot index 0..8,
 * MERLIN_ERR_BAD_PATH or MERLIN_ERR_NO_SLOT. */
MERLIN_EXPORT int32_t Merlin_Start(const char* sourcePath, const char* outputPath);

/* The slot's ID: the value of the library's start counter when the slot was
 * started (1 for the first accepted start of the process). */
MERLIN_EXPORT int32_t Merlin_GetID(int32_t slot);

/* 1 once the slot's conversion has ended, else 0. */
MERLIN_EXPORT int32_t Merlin_IsBuildFinish(int32_t slot);

/* Length of the source record file, known once the conversion has opened it
 * (0 before). Saturates at 0xFFFFFFFF. */
MERLIN_EXPORT uint32_t Merlin_TotalBytes(int32_t slot);

/* Source bytes consumed so far; equals Merlin_TotalBytes at the end of a
 * conversion that ran through. */
MERLIN_EXPORT uint32_t Merlin_DisposeBytes(int32_t slot);

/* Length of the FLV file; 0 until the conversion ends, and 0 when nothing
 * could be converted. */
MERLIN_EXPORT uint32_t Merlin_MakeBytes(int32_t slot);

/* Copies the slot's new file name (NUL-terminated, at most
 * MERLIN_MAX_PATH characters with the NUL) into buffer when there is one;
 * otherwise leaves buffer untouched. */
MERLIN_EXPORT void Merlin_GetNewFileName(int32_t slot, char* buffer);

/* How the slot's conversion ended: one of MERLIN_RESULT_*. RUNNING (0)
 * until Merlin_IsBuildFinish returns 1. */
MERLIN_EXPORT int32_t Merlin_GetResult(int32_t slot);

/* Why the slot's conversion was not complete: MERLIN_FAULT_* bits, 0 for a
 * complete conversion or one that has not finished. */
MERLIN_EXPORT uint32_t Merlin_GetFaults(int32_t slot);

/* Releases a slot so that Merlin_Start can use it again; returns 0. A slot
 * whose conversion is still running is left alone (its threads still write
 * to it). */
MERLIN_EXPORT int32_t Merlin_InitItem(int32_t slot);

/* Slot arguments outside 0..8 are ignored: the getters return 0 and the
 * other calls do nothing. */

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_MERLIN_H */
