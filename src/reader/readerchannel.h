/*
 * What the service and its reader host say to each other over the two pipes
 * that join them. The service writes one byte per call, in order, into the
 * host's READER_CALLS_FD; the host answers each on READER_ANSWERS_FD with a
 * ReaderChannelHeader and the header's length of bytes after it. Its very
 * first message, before any call, reports how the library loaded.
 */
#ifndef READERCHANNEL_H
#define READERCHANNEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host's ends of the channel: a pipe each way, since a round trip over
 * two pipes costs about two thirds of one over a socket pair. Its standard
 * output and error go to a third pipe that the service drains into its log. */
#define READER_CALLS_FD 3
#define READER_ANSWERS_FD 4
/* The host's own reports (what its sandbox refused), a line each, apart from
 * the library's output so that the library cannot forge one. */
#define READER_REPORTS_FD 5

/* Starts every header: a stream that lost its step shows at once. */
#define READER_CHANNEL_MAGIC 0x4b525648u /* "KRVH" */

/* The calls, one byte each. */
enum ReaderChannelCall {
    READER_CALL_OPEN_DEVICE = 'O',
    READER_CALL_CLOSE_DEVICE = 'C',
    READER_CALL_ID_READ_CARD = 'R',
};

/* The load report's result; its bytes are the reason for a failure. */
enum ReaderChannelLoad {
    READER_LOAD_OK = 0,
    READER_LOAD_FILE_FAILED = 1,     /* the file could not be loaded */
    READER_LOAD_FUNCTION_FAILED = 2, /* an entry point is missing */
};

/* The load report's kind; a call's answer carries the call's byte instead. */
#define READER_CHANNEL_LOAD_REPORT 'L'

struct ReaderChannelHeader
{
    uint32_t magic;
    int32_t kind;         /* READER_CHANNEL_LOAD_REPORT, or the call answered */
    int64_t result;       /* the entry point's result, or a ReaderChannelLoad */
    int32_t overrun;      /* IdReadCard: bytes written past the record */
    uint32_t length;      /* bytes that follow: the record up to its NUL, or the reason */
    uint32_t residentMiB; /* the most the host's worker has held, in MiB */
};

/* The longest message that follows a header: a whole record without its NUL. */
#define READER_CHANNEL_MAX_LENGTH 10240u

#ifdef __cplusplus
}
#endif

#endif /* READERCHANNEL_H */
