/*
 * libVantrel-64: access to vehicle-network measurement data (ASAM MDF 3.x/4.x,
 * SQLite measurement databases, MAT v5 and CSV output).
 *
 * Every function declared here has C linkage. Texts come in a narrow form
 * (char const*, the current C locale's multibyte text) and a wide form with
 * the suffix W (wchar_t const*, UTF-32). The library is single-threaded: call
 * it from one thread at a time.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stddef.h>
#include <wchar.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#define VANTREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Flags a host may set before calling ---------------------------- */

/* Dates (MAT and MDF headers, CSV) in local time instead of UTC. */
VANTREL_API extern bool g_bUseLocalTime;

/* ---- Measurement database building ---------------------------------- */

/* Build the measurement database (SQLite) of an MDF 3.x/4.x file: 1 on
 * success, 0 on failure (with diagnostic lines on standard output). dbPath
 * null or empty: the MDF path with its file name's extension replaced by
 * ".db". An existing database of that name is replaced only by a complete
 * new one; a failed build leaves it as it was. The MDF file itself is never
 * the target. signalsPath names a JSON signal selection (a file, or the JSON
 * text itself) {"Channels": [{"name", "message_name", "network_name"}]};
 * only the channel groups holding a selected channel become messages, with
 * only their selected channels. An empty "Channels" array selects all. */
VANTREL_API int CreateDatabase(char const* mdfPath, char const* dbPath);
VANTREL_API int CreateDatabaseW(wchar_t const* mdfPath, wchar_t const* dbPath);
VANTREL_API int CreateDatabaseForSignals(char const* mdfPath, char const* signalsPath, char const* dbPath);
VANTREL_API int CreateDatabaseForSignalsW(wchar_t const* mdfPath, wchar_t const* signalsPath, wchar_t const* dbPath);

/* ---- Channel lists of an MDF file ----------------------------------- */

/* Write the channels of an MDF file (time channels left out) as JSON to
 * jsonPath: {"Channels": [{"name", "message_name", "network_name"}]}, the
 * message and network taken from a "Message | Network" comment. The
 * statistics form reads every record and adds per channel "unit",
 * "min_time", "max_time", "num_records", "min", "time_at_min", "max",
 * "time_at_max", "avg", "std_dev", "first_value" and, when not 1 and 0,
 * "slope" and "offset" (the values a measurement database of the file holds
 * in its Channels rows; times relative to the measurement start); a channel
 * without such a comment has its group's label "Group0001", ... as
 * "message_name" there. Channel groups whose records cannot be read or that
 * have no time channel are left out of the statistics form. 1 when the whole
 * document was written; 0 otherwise, with diagnostic lines and no file left
 * behind. */
VANTREL_API int GetChannels(char const* mdfPath, char const* jsonPath);
VANTREL_API int GetChannelsW(wchar_t const* mdfPath, wchar_t const* jsonPath);
VANTREL_API int GetChannelStatistics(char const* mdfPath, char const* jsonPath);
VANTREL_API int GetChannelStatisticsW(wchar_t const* mdfPath, wchar_t const* jsonPath);

/* ---- Record access -------------------------------------------------- */

/* Opens a measurement database read-only for a JSON channel list (a file
 * name, or the JSON text itself) and hands out two arrays owned by the
 * library, one entry per listed channel in list order: the current value and
 * the current time of each channel (DBL_MAX: none). The address of the value
 * array is the handle of every later call; both arrays stay valid until
 * CloseDataFile. Returns the measurement start time (absolute seconds since
 * 2007-01-01 UTC); -3.0 for a channel list that cannot be used; 0.0 when a
 * required channel is missing, no channel is found or the database cannot be
 * read. On failure the three outputs are cleared. */
VANTREL_API double OpenDataFileW(wchar_t const* dbPath, wchar_t const* channelList, double** values,
                                 double** timeStamps, int* count);
VANTREL_API double OpenDataFile(char const* dbPath, char const* channelList, double** values, double** timeStamps,
                                int* count);
/* The number of entries of a channel list; 0 when it cannot be used. */
VANTREL_API int GetNumChannelsW(wchar_t const* channelList);
VANTREL_API int GetNumChannels(char const* channelList);

/* Checks which channels of a script's alias list (a file name, or the JSON
 * text itself: {"Channels": [{"name_in_script", "required", "OptionalList":
 * [{"channel_name", "message_name", "network_name"}]} or {"name",
 * "message_name", "network_name", "required"}]}) a data file can supply.
 * dataPath is a measurement database when it ends in ".db" in any case (or
 * is three characters or shorter) or is no readable MDF file. Writes the
 * outcome to resultPath as {"Channels": [{"name_in_script", "name",
 * "message_name", "network_name", "required": "false" for optional ones}],
 * "MissingChannels": [{"name_in_script", "required"}]} (the second array
 * only when an alias is unresolved). Returns the number of resolved aliases;
 * 0 when an MDF file cannot supply every alias (no result file) or a
 * database lacks a required one; -2 when the database cannot be read (the
 * result file is written); -3 when the alias list cannot be used or the
 * result file cannot be written whole (none is left behind). */
VANTREL_API int ValidateSignalsW(wchar_t const* dataPath, wchar_t const* aliasList, wchar_t const* resultPath);
VANTREL_API int ValidateSignals(char const* dataPath, char const* aliasList, char const* resultPath);

/* The handle functions take the handle and an int that is ignored. A handle
 * that is not open gives DBL_MAX (times) or 0 (ints). */

/* One character per listed channel: '1' lets the channel's message choose
 * the next record time, '0' not. 1, or 0 for a mask of another length or
 * with another character. Takes effect at the next step or jump. */
VANTREL_API int SetActiveMask(double* handle, int unused, char const* mask);
/* Back to each table's first record; returns that time, always absolute. */
VANTREL_API double SetCursorsToStart(double* handle, int unused);
/* The next record time of the active channels (rows of equal time come
 * together), with both arrays updated; DBL_MAX after the last one. Times are
 * relative to the measurement start after a jump with a relative time. */
VANTREL_API double GetNextRecord(double* handle, int unused);
/* Steps until some found channel's value differs from its value at the call. */
VANTREL_API double GetNextChangedRecord(double* handle, int unused);
/* Steps until every found channel has a value. */
VANTREL_API double GetNextValidRecord(double* handle, int unused);
/* A time at or after the measurement start is absolute, an earlier one is
 * relative to the start; the handle keeps that time mode afterwards. After:
 * to the first record at or after t. Before: to the last record at or before
 * t (or to the latest start among the active channels' messages when one
 * starts after t). DBL_MAX when nothing is found. */
VANTREL_API double JumpAfterTimestamp(double* handle, int unused, double t);
VANTREL_API double JumpBeforeTimestamp(double* handle, int unused, double t);
/* Measurement start and end, absolute. 1, or 0 with the outputs untouched. */
VANTREL_API int GetMeasurementTimeBounds(double* handle, int unused, double* start, double* end);
/* Closes the database; the handle and both arrays are invalid afterwards.
 * 1, or 0 for a handle that is not open or a close that failed. */
VANTREL_API int CloseDataFile(double* handle, int unused);

/* ---- Hit extraction ------------------------------------------------- */

/* Cuts time windows ("hits") out of measurement databases and lays them end
 * to end on one output time axis. hitList names a JSON hit list (a file, or
 * the JSON text itself):
 *   {"SpacingBetweenHitsInOutputFile": 1.0,
 *    "Channels": [alias list entries, as for validation],
 *    "HitList": [{"FilenameAndPath": "run1.db",
 *                 "Hits": [{"StartTime": 2.5, "EndTime": 7.5, "Spacing": 0.5,
 *                           "Description": "..."}]}]}
 * with times in seconds from each database's measurement start (bounds
 * included); the bytes of a "FilenameAndPath" text are the database's path.
 * The hits go into a subset measurement database named after the output
 * with its extension (from the last '.') replaced by ".db", which
 * stays beside the output and is reused when it already holds the same
 * channels and hits; the output is that database, a MAT file (name ending in
 * ".mat") or else an MDF 4.00 file with one event per hit. Returns 0 when the
 * output was written, -2 when nothing was written (no usable database or
 * hit, a file in the way, a failed write), -3 for an unusable hit list. No
 * listed database and no file of another kind is ever replaced. */
VANTREL_API int OutputHitsToFileW(wchar_t const* hitList, wchar_t const* outputPath);
VANTREL_API int OutputHitsToFile(char const* hitList, char const* outputPath);

/* ---- Database export ------------------------------------------------ */

/* Exports a measurement database to MDF: outBase + ".dat" as MDF 3.30, or
 * outBase + ".mf4" as MDF 4.00 when the settings file "./kvxexport.cfg" says
 * "MDF Extension=.mf4" (another extension there names the 3.30 file). Every
 * record at its own time, or with rateSeconds > 0 every channel sampled on a
 * grid of that period (the database then gains a time index per message).
 * Settings: "GroupMessages" (1: one data group per message, 0: one per
 * channel), "ForceRateGap" (seconds without records that the grid skips).
 * The channels exported are those of the database's collection (all when it
 * selects none). Returns 1 when the file was written completely; 0 (with a
 * diagnostic line) when the database has no message, cannot be read (also
 * when a table it reads is a view or a virtual table), or the output could
 * not be written or would replace the database or a file of another kind.
 * An incomplete output never replaces an existing file. */
VANTREL_API int ExportToMdf(char const* dbPath, char const* outBase);
VANTREL_API int ExportToMdfW(wchar_t const* dbPath, wchar_t const* outBase);
VANTREL_API int ExportToMdfForceRate(char const* dbPath, char const* outBase, double rateSeconds);
VANTREL_API int ExportToMdfForceRateW(wchar_t const* dbPath, wchar_t const* outBase, double rateSeconds);

/* ---- MAT-file writing ----------------------------------------------- */

/* An open MAT file (format version 5, uncompressed, little-endian), from
 * matOpen to matClose. */
typedef struct MATFile_tag MATFile_tag;
/* An in-memory MAT array; it owns every array stored in its cells or fields. */
typedef struct mxArray_tag mxArray_tag;

/* The array classes the writer supports. A C++ host may pass any int value
 * (others are refused at creation), so the type is an int there too. */
#ifdef __cplusplus
typedef enum mxClassID : int {
#else
typedef enum mxClassID {
#endif
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxCHAR_CLASS = 4,
    mxDOUBLE_CLASS = 6
} mxClassID;

/* Mode 'w' creates or truncates the file and writes a new header; 'u' opens
 * an existing MAT file to append variables after those it holds; any other
 * mode only reads the header. Null when the file cannot be opened or its
 * header cannot be written or read. */
VANTREL_API MATFile_tag* matOpen(char const* path, char const* mode);
/* 0, or EOF when a write to the file or the close failed. */
VANTREL_API int matClose(MATFile_tag* file);
/* Appends the array as a variable of the given name: 0, or -1 when nothing
 * could be written or a write failed. The array stays the caller's. */
VANTREL_API int matPutVariable(MATFile_tag* file, char const* name, mxArray_tag* array);
VANTREL_API int matPutVariableAsGlobal(MATFile_tag* file, char const* name, mxArray_tag* array);

/* Creation functions return null when an argument is invalid or memory runs
 * out. New arrays are zero-filled; cells and fields start empty. */
VANTREL_API mxArray_tag* mxCreateStructArray(size_t ndim, size_t const* dims, int nfields, char const** fieldnames);
VANTREL_API mxArray_tag* mxCreateCellArray(size_t ndim, size_t const* dims);
VANTREL_API mxArray_tag* mxCreateCharArray(size_t ndim, size_t const* dims);
VANTREL_API mxArray_tag* mxCreateDoubleMatrix(size_t m, size_t n, int complexity);
VANTREL_API mxArray_tag* mxCreateNumericArray(size_t ndim, size_t const* dims, mxClassID classid, int complexity);
/* 1 x n character arrays: bytes are Latin-1; wide characters beyond U+FFFF
 * become U+FFFD. */
VANTREL_API mxArray_tag* mxCreateString(char const* text);
VANTREL_API mxArray_tag* mxCreateStringW(wchar_t const* text);

/* Hand value to the parent (replacing, not freeing, what the slot held).
 * Ignored for an index or field out of range, a parent of another class, or
 * a value already held by an array or holding the parent. */
VANTREL_API void mxSetFieldByNumber(mxArray_tag* s, size_t index, int fieldnum, mxArray_tag* value);
VANTREL_API void mxSetCell(mxArray_tag* c, size_t index, mxArray_tag* value);
/* The elements of a double array; null for any other array or no elements. */
VANTREL_API double* mxGetPr(mxArray_tag const* array);
/* The first dimension; 0 for a null array. */
VANTREL_API size_t mxGetM(mxArray_tag const* array);
/* Frees the array and everything it holds; an array still held by another
 * one is left to that array. */
VANTREL_API void mxDestroyArray(mxArray_tag* array);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
