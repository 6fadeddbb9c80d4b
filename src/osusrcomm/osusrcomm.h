/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* osusrcomm: packet protocol to the ioctl helper, the ioctl relay and the
   device stream transfer. Usable from C and C++. */
#ifndef OSUSRCOMM_H
#define OSUSRCOMM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Header of every packet exchanged with the helper, in host byte order. */
typedef struct HelperHdr {
    int32_t  pktlen;     /* whole packet length, header included */
    uint32_t helper_req; /* request code, or response code in an answer */
    uint32_t xfercnt;    /* transfer count, meaning per operation */
    int32_t  ret_code;   /* 0 or the helper's error number */
    uint32_t cmd;        /* open argument or ioctl command */
} HelperHdr;

enum {
    HELPER_HDR_SIZE  = 20,
    HELPER_DEV_OPEN  = 1,
    HELPER_DEV_CLOSE = 2,
    HELPER_DEV_READ  = 3,
    HELPER_DEV_WRITE = 4,
    HELPER_DEV_IOCTL = 5,
    HELPER_RESPONSE  = 6,
    HELPER_BUSY      = 8,
    HELPER_RETRY     = 9
};

/* Results of the driver calls tamskioctl, tamskdevrd and tamskdevwr. */
enum {
    TAMSK_OK        = 0,
    TAMSK_ENXIO     = 6,  /* helper unreachable or the open refused */
    TAMSK_ENOMEM    = 12, /* packet buffer not allocated */
    TAMSK_EPIPE     = 32  /* exchange failed or answer of the wrong size */
};

/* Size of the stream transfer's packet buffer: header and 1024 data bytes. */
#define TAMSK_STREAM_PKTSZ 1044

/* Framing on a connected stream socket. Send and receive return length when
   every byte moved, 0 for length <= 0, else the failing call's result (0 or
   -1). peekPkt returns length or 0. peekHelperPkt returns 20, max - 20 when
   max < 20, or 0. recvHelperPkt returns the packet's pktlen when it was
   received whole, max - pktlen when it is too long (nothing consumed), 0 for
   pktlen <= 0, or the failing peek/receive's result. */
int32_t sendPkt(int fd, void *buf, int32_t length);
int32_t recvPkt(int fd, void *buf, int32_t length);
int32_t peekPkt(int fd, void *buf, int32_t length);
int32_t peekHelperPkt(int fd, void *buf, int32_t max);
int32_t recvHelperPkt(int fd, void *buf, int32_t max);

/* Device operations on one helper connection. Open returns the connected
   socket or -1 (never leaves a socket open on failure). Close returns the
   result of closing the socket, -1 when the request was not sent. Read
   returns the accepted answer's length, 0 when refused, -1 when not sent.
   Write returns pktsz, 0 when refused, -1 when not sent or pktsz < 20.
   Ioctl returns the answer's length when 20 or more, its payload copied
   back over data even when refused; 0 when no such answer came (short, too
   long or failed), -1 when the buffer is too small or not sent. */
int32_t quorHelperOpen(const char *name, uint32_t openArg, void *pkt, uint32_t pktsz);
int32_t quorHelperClose(int32_t sock, void *pkt, uint32_t pktsz);
int32_t quorHelperRead(int32_t sock, void *pkt, uint32_t pktsz);
int32_t quorHelperWrite(int32_t sock, void *pkt, uint32_t pktsz);
int32_t quorHelperIoctl(int32_t sock, uint32_t cmd, void *pkt, uint32_t pktsz,
                        void *data, uint32_t ipbuffsz);

/* One ioctl through the helper: data (len bytes) is sent and overwritten by
   the answer. Returns 0, the helper's ret_code, or 6, 12 or 32. */
int32_t tamskioctl(uint32_t cmd, void *data, uint32_t len);

/* Copy the named device to standard output / standard input to the device.
   Return 0, or 6 (open failed), 12 (no buffer), 32 (transfer failed). */
int32_t tamskdevrd(const char *name);
int32_t tamskdevwr(const char *name);

#ifdef __cplusplus
}
#endif

#endif
