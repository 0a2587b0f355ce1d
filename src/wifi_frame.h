// The module's serial frames and its byte-stream assembler (the host library has its
// own, in host/wlink_int.h).
//
//   byte 0 total length, 1 chunk length (1..12), 2 offset, 3..14 payload
//   (zero padded), 15 checksum: low 8 bits of the sum of bytes 0..14
//
// A serial line hands over bytes as they arrive, often part of a frame, several
// frames at once, or junk. The stream keeps what was read and cuts frames out of
// it: a 16-byte window that does not hold a good frame moves on by one byte, so
// the reader falls back into step after junk or a lost byte. Frames are joined
// into whole messages only: the frames of one message carry the same total and
// follow each other with no gap in their offsets, the first at offset 0. A frame
// that breaks this drops the partial message; it is never handed on.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    WIFI_FRAME_SIZE = 16,
    WIFI_FRAME_CHUNK = 12,
    WIFI_FRAME_MSG_MAX = 255,     // the total is one byte
    WIFI_FRAME_STREAM_BUF = 512,  // bytes read and not yet taken
};

// Low 8 bits of the sum of len bytes, each taken as 0..255.
uint8_t wifi_frame_sum(const uint8_t *buf, size_t len);

// Builds one frame of a message of `total` bytes: `n` (0..12) bytes of `chunk`
// at `offset`, zero padding and the checksum.
void wifi_frame_build(uint8_t out[WIFI_FRAME_SIZE], size_t total, size_t offset, const char *chunk, size_t n);

// 0 when the frame is good for a message of at most max_total bytes: a total of 1
// or more, a chunk of 1..12 that ends within the total, and a right checksum.
int wifi_frame_check(const uint8_t frame[WIFI_FRAME_SIZE], unsigned max_total);

enum wifi_frame_take {
    WIFI_FRAME_NONE = 0,  // no whole frame left among the buffered bytes
    WIFI_FRAME_GOOD = 1,  // a good frame was taken; its message is not complete
    WIFI_FRAME_DONE = 2,  // a message is complete: msg (NUL-terminated), msg_len
};

struct wifi_frame_stream {
    uint8_t in[WIFI_FRAME_STREAM_BUF];
    size_t in_len;
    unsigned max_total;
    char msg[WIFI_FRAME_MSG_MAX + 1];
    unsigned msg_len;  // total of the message in progress, or of the complete one
    unsigned next;     // offset the next frame of the message must carry; 0: none started
    unsigned skipped;  // bytes passed over since the last good frame
    unsigned dropped;  // partial messages and stray frames dropped so far
};

void wifi_frame_stream_init(wifi_frame_stream *s, unsigned max_total);
// Where new bytes go, and how many fit (at least one frame's worth).
uint8_t *wifi_frame_stream_space(wifi_frame_stream *s, size_t *room);
// n bytes were written at the space.
void wifi_frame_stream_commit(wifi_frame_stream *s, size_t n);
// Takes the next good frame out of the buffered bytes (passing over bad ones).
wifi_frame_take wifi_frame_stream_take(wifi_frame_stream *s);
// Forgets the message in progress (the bytes buffered stay).
void wifi_frame_stream_drop_msg(wifi_frame_stream *s);
