/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* osslnxadaptconfig: the topology table's text form, loading the
   configuration file, lookup, and the adapter id rule. Usable from C and
   C++. */
#ifndef OSSLNXADAPTCONFIG_H
#define OSSLNXADAPTCONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the file text: at most 513 characters and the terminator. */
#define TOPOLOGY_FILE_TEXT_SIZE 514

/* Size of a topology value's display text, terminator included. */
#define TOPOLOGY_VALUE_TEXT_SIZE 44

/* Writes the display text of a topology value into dst (at least
   TOPOLOGY_VALUE_TEXT_SIZE bytes); returns its length (at most 43). */
int32_t topValToString(char *dst, uint32_t value);

/* Writes the used part of topologyAry into str (len bytes): the indexed
   listing when withIndex is 1, else the file form. When the text does not
   fit, str holds the too-small message (cut to fit) and the result is 0; for
   len <= 0, str is untouched and the result is 0; otherwise it is 1. */
int32_t topArrayToString(char *str, int32_t len, int32_t withIndex);

/* Keeps only newlines, digits, letters and colons of str, in place; null
   is ignored. */
void removeWhiteSpace(char *str);

/* Returns the stored topology (0 to 255) for the pair, 0 when it is not
   stored. Loads the configuration file on the first call of the process
   and whenever reload is exactly 1; a load that fails (no file, read error)
   leaves the table empty and is not retried until a call with reload 1.
   Never fails otherwise; problems go out as trace events and messages. */
int32_t apGetTopology(uint16_t adapterId, uint8_t portNumber, int32_t reload);

/* Reads the configuration file, of any length, into topologyAry from index
   0, leaving the entries past the last one read as they were (apGetTopology
   clears the table first): at most 256 records, skipping those that would
   read as empty entries and those too long to split. Reports a missing,
   unreadable or empty file by trace and message and leaves the table
   untouched then. */
void parseConfigDataFile(void);

/* 0xB00 for the name "wyrafc000", 0xB06 for any other name and for null. */
uint32_t apGetAdapterId(const char *name);

#ifdef __cplusplus
}
#endif

#endif
