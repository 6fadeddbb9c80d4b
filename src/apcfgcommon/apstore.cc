/* SPDX-FileCopyrightText: 2026 tamsk developers */
/* SPDX-License-Identifier: MIT */
/* Storing a topology value: change or append the table entry, then rewrite
   the configuration file with a backup copy and a read-back check. Every
   file is opened through the configuration directory and copied in the
   process: the directory may be one a group can write, so no name in it
   is trusted to stay what it was, and no link in it is followed. */
#include "apcfgcommon.h"
#include "apfile.h"
#include "apmessage.h"
#include "osslnxadaptconfig.h"
#include "tamskpaths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace tamsk;

namespace {

constexpr int LISTING_SIZE = 5120; // the indexed listing of a full table

const char BACKUP_NAME[] = TAMSK_CONFIG_FILE_NAME ".bak";

const char BANNER_LINE[] = "wmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwmwm \n";

// The banner report of a table that cannot be stored: the pair, the two
// lines of the problem, and the table text (the too-small text here).
void sendBanner(const char *before, uint16_t adapterId, uint8_t portNumber, uint8_t value, const char *problem,
                const char *table)
{
    apSendf("%s%s          Adapter: %X, port %d, value %d  \n             \napStoreTopology: ERROR: %s%s%s", before,
            BANNER_LINE, adapterId, portNumber, value, problem, BANNER_LINE, table);
}

// Reports a file of the update that does not open (which: 2 to 5).
int32_t openFailed(uint32_t which, const char *message)
{
    apUsrTrace(TRC_UPDATE_OPEN_FAILED, which, 0, 0, 0, 0);
    apSendf("%s", message);
    return -1;
}

// The read-back text: the file's bytes while they fit, terminated.
struct ReadBack {
    char text[TOPOLOGY_FILE_TEXT_SIZE];
    size_t used;
    bool overflow;
};

bool takeReadBack(void *readBack, char *piece, size_t n)
{
    ReadBack *r = static_cast<ReadBack *>(readBack);
    r->overflow = r->overflow || n >= sizeof r->text - r->used;
    if (!r->overflow) {
        memcpy(r->text + r->used, piece, n + 1);
        r->used += n;
    }
    return !r->overflow; // a file longer than any text written fails the check whatever follows
}

// Where the data after a piece of zeros read from f starts: past the hole
// that the piece began, or -1 when the piece was no hole.
off_t afterHole(FILE *f, const char *piece, size_t n)
{
    struct stat st;
    off_t at = n > 0 && piece[0] == 0 && memcmp(piece, piece + 1, n - 1) == 0 ? ftello(f) : -1;
    off_t data = at < 0 ? -1 : lseek(fileno(f), at, SEEK_DATA);
    if (at >= 0 && data == -1 && errno == ENXIO && fstat(fileno(f), &st) == 0)
        data = st.st_size; // a hole to the end
    return data > at ? data : -1;
}

// Copies the configuration file into its backup in place of any earlier
// one. A hole in it stays a hole, so a sparse file that claims to be huge
// costs neither time nor space. Whether the copy was made is judged by the
// length check after it.
void copyToBackup()
{
    FILE *from = apOpenRegular(TAMSK_CONFIG_FILE_NAME, false);
    FILE *to = from ? apOpenRegular(BACKUP_NAME, true) : nullptr;
    char piece[BUFSIZ];
    bool skipped = false;
    for (size_t n; to && (n = fread(piece, 1, sizeof piece, from)) > 0 && fwrite(piece, 1, n, to) == n;) {
        off_t data = afterHole(from, piece, n);
        if (data >= 0 && (fseeko(from, data, SEEK_SET) != 0 || fseeko(to, data, SEEK_SET) != 0))
            break;
        skipped = skipped || data >= 0;
    }
    off_t end = skipped && fflush(to) == 0 ? ftello(to) : -1; // past a hole at the end, when there is one
    if (end >= 0 && ftruncate(fileno(to), end) != 0) {} // the length check judges it
    if (to)
        fclose(to);
    if (from)
        fclose(from);
}

// Replaces the backup by a copy of the configuration file and checks that
// both have the same length. Returns 0, or -1 after its own report.
int32_t makeBackup(int32_t verbose)
{
    if (verbose)
        apSendf("updateFile: create a backup of the current data file name. \n");
    copyToBackup();
    FILE *file = apOpenRegular(TAMSK_CONFIG_FILE_NAME, false);
    if (!file)
        return openFailed(2, "updateFile:02 Could not open config data file, can not continue. \n");
    FILE *backup = apOpenRegular(BACKUP_NAME, false);
    if (!backup) {
        fclose(file);
        return openFailed(3, "updateFile: Could not open backup config data file, can not continue. \n");
    }
    long fileSize = apFileLength(file);
    long fileSizeBak = apFileLength(backup);
    fclose(file);
    fclose(backup);
    if (verbose)
        apSendf("updateFile: \nfileSize    = %d \nfileSizeBak = %d \n", int32_t(fileSize), int32_t(fileSizeBak));
    if (fileSize != fileSizeBak || fileSize < 0) {
        apUsrTrace(TRC_UPDATE_BACKUP_SIZE, 0, 0, 0, 0, 0);
        apSendf("updateFile: ERROR, the back up file did not  get created correctly, can not continue. \n");
        return -1;
    }
    return 0;
}

// Reads the rewritten file back and compares it with what was written.
int32_t verifyFile(const char *data, int32_t verbose)
{
    FILE *f = apOpenRegular(TAMSK_CONFIG_FILE_NAME, false);
    if (!f)
        return openFailed(5, "updateFile: Error Could not open config data file. For checking.\n");
    if (verbose)
        apSendf("updateFile: New file size: %d \n", int32_t(apFileLength(f)));
    ReadBack readBack = {};
    long length;
    bool readOk = apReadPieces(f, &length, takeReadBack, &readBack) && !readBack.overflow;
    fclose(f);
    const char *inString = readBack.text;
    if (!readOk) {
        apUsrTrace(TRC_UPDATE_READ_FAILED, 1, 0, 0, 0, 0);
        apSendf("updateFile: ERROR: Failed reading Config Data file. for checking \n");
        return -1;
    }
    if (verbose)
        apSendf("updateFile: inString = \n%s \n", inString);
    if (strcmp(data, inString) != 0) {
        apSendf("updateFile: ERROR: The data written to the config is invalid. \n"
                "The data in the file is not what is stored in the kernel \n");
        return -1;
    }
    if (verbose) {
        apSendf("updateFile: The string read back from the file for checking matches the string written "
                "to the file: \nString written: \n%s \nString Read:\n%s \n", data, inString);
        apSendf("updateConfigDataFile()  Exiting with no ERROR \n");
    }
    apUsrTrace(TRC_UPDATE_VERIFIED, 0, 0, 0, 0, 0);
    return 0;
}

} // namespace

// Only a file that does not exist is taken as "no file yet": any other
// failure to open it, or anything but a regular file there, stops the
// update before the copy, so no unread content is overwritten without a
// backup and nothing else is written through.
extern "C" int32_t updateConfigDataFile(const char *data, int32_t verbose)
{
    if (verbose)
        apSendf("updateConfigDataFile: Enter function. \nupdateFile: Data to write to the file \n%s \n", data);
    apUsrTrace(TRC_UPDATE_ENTRY, 0, 0, 0, 0, 0);
    FILE *existing = apOpenRegular(TAMSK_CONFIG_FILE_NAME, false);
    if (!existing && errno == ENOENT) {
        apUsrTrace(TRC_UPDATE_OPEN_FAILED, 1, 0, 0, 0, 0);
        apSendf("updateFile: No data file found, a new one will be created. \n");
    } else if (!existing) {
        return openFailed(2, "updateFile:02 Could not open config data file, can not continue. \n");
    } else {
        fclose(existing);
        if (makeBackup(verbose) != 0)
            return -1;
    }
    FILE *out = apOpenRegular(TAMSK_CONFIG_FILE_NAME, true);
    if (!out)
        return openFailed(4, "updateFile:01 Could not open config data file. for writing, can not continue.\n");
    size_t len = strlen(data);
    bool written = fwrite(data, 1, len, out) == len;
    // A full disk may only show when the buffered text is flushed.
    written = fclose(out) == 0 && written;
    if (!written) {
        apUsrTrace(TRC_UPDATE_SHORT_WRITE, 1, 0, 0, 0, 0);
        apSendf("updateFile: Error writing the output buffer to the output file, can not continue.\n");
        return -1;
    }
    return verifyFile(data, verbose);
}

extern "C" int32_t apStoreTopology(uint16_t adapterId, uint8_t portNumber, uint8_t inToplogyVal,
                                   int32_t verbose)
{
    if (verbose)
        apSendf("apStoreTopology:Enter Function: adapterId:%X, portNumber:%d, inToplogyVal:%d \n",
                adapterId, portNumber, inToplogyVal);
    apUsrTrace(TRC_STORE_ENTRY, adapterId, portNumber, inToplogyVal, uint32_t(verbose), 0);
    apGetTopology(adapterId, portNumber, 1);
    if (verbose) {
        char listing[LISTING_SIZE];
        topArrayToString(listing, sizeof listing, 1);
        apSendf("apStoreTopology:contents of the topologyAry array BEFORE:\n%s\n", listing);
    }

    // The first empty entry ends the search; pos ends one past a match.
    int pos = 0;
    bool matched = false;
    while (pos < TOPOLOGY_ENTRIES && !matched && topologyAry[pos].adapterId != 0) {
        TopologyEntry &e = topologyAry[pos];
        if (e.adapterId == adapterId && e.portNumber == portNumber) {
            apUsrTrace(TRC_STORE_REPLACE, adapterId, portNumber, inToplogyVal, uint32_t(pos), 0);
            e.topology = inToplogyVal;
            matched = true;
        }
        ++pos;
    }
    if (!matched) {
        apUsrTrace(TRC_STORE_APPEND, adapterId, portNumber, inToplogyVal, uint32_t(pos), 0);
        if (pos == TOPOLOGY_ENTRIES) {
            apUsrTrace(TRC_STORE_TABLE_FULL, adapterId, portNumber, inToplogyVal, TOPOLOGY_ENTRIES, 0);
            char listing[TOPOLOGY_FILE_TEXT_SIZE];
            topArrayToString(listing, sizeof listing, 1);
            sendBanner("", adapterId, portNumber, inToplogyVal,
                       "There is something wrong here,   \nthe array is full, and the adapter/port we were looking  \n"
                       "for was not found, the data is corrupt somewhere         \n",
                       listing);
            return -1;
        }
        topologyAry[pos] = {adapterId, portNumber, inToplogyVal};
    }

    char fileText[TOPOLOGY_FILE_TEXT_SIZE];
    if (!topArrayToString(fileText, sizeof fileText, 0)) {
        apUsrTrace(TRC_STORE_TOO_LARGE, adapterId, portNumber, inToplogyVal, uint32_t(pos), 0);
        sendBanner("ERROR: The data is too large and will overflow String buffer \n", adapterId, portNumber,
                   inToplogyVal, "The data in the array is too     \nlarge to fit into the output string buffer.              \n",
                   fileText);
        return -1;
    }
    if (verbose)
        apSendf("The string that will be written out to the file:\n%s", fileText);
    int32_t updated = updateConfigDataFile(fileText, verbose);
    if (updated != 0) {
        apUsrTrace(TRC_STORE_UPDATE_FAILED, adapterId, portNumber, inToplogyVal, uint32_t(updated), 0);
        apSendf("ERROR: Writing the topology values to the file failed.\n");
        return -1;
    }
    if (verbose)
        apSendf("apStoreTopology(): Exiting without error \n");
    apUsrTrace(TRC_STORED, adapterId, portNumber, inToplogyVal, 0, 0);
    return 0;
}
