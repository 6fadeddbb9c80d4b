/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Fixed locations of the controller: the ioctl helper socket and the
   topology configuration file, both in the helper directory. Nothing at run
   time changes them. */
#ifndef TAMSKPATHS_H
#define TAMSKPATHS_H

#define TAMSK_DIR             "/home/tamsk"
#define TAMSK_SOCKET_NAME     "ioctl"
#define TAMSK_CONFIG_DIR_NAME "config"
#define TAMSK_CONFIG_DIR      TAMSK_DIR "/" TAMSK_CONFIG_DIR_NAME

#define TAMSK_CONFIG_FILE_NAME "apConfig.dat"

#define TAMSK_HELPER_SOCKET TAMSK_DIR "/" TAMSK_SOCKET_NAME
#define TAMSK_CONFIG_FILE   TAMSK_CONFIG_DIR "/" TAMSK_CONFIG_FILE_NAME

#ifdef __cplusplus
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace tamsk {

/* The address of a Unix socket at path (cut to fit), for bind and connect:
   the helper socket unless said otherwise. */
inline sockaddr_un socketAddress(const char *path = TAMSK_HELPER_SOCKET)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    return a;
}

} // namespace tamsk
#endif

#endif
