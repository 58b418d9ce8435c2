/* Builds the measurement database of an MDF file, then steps through the
 * records of the channels named on the command line: the measurement start,
 * then one line per step with the step's time (absolute seconds since
 * 2007-01-01 UTC) and each channel's value then ("-" while it has none).
 *
 *     step_records <MDF file> <database> <channel>...
 */
#include <float.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vantrel.h>

/* {"Channels": [{"name": "...", "required": false}, ...]} of the names. */
static char* channel_list(int count, char** names)
{
    size_t size = 32;
    int i;
    for (i = 0; i < count; ++i)
        size += 2 * strlen(names[i]) + 40;
    char* list = malloc(size);
    if (!list)
        return NULL;
    strcpy(list, "{\"Channels\": [");
    for (i = 0; i < count; ++i) {
        char* out = list + strlen(list);
        char const* in;
        out += sprintf(out, "%s{\"name\": \"", i ? ", " : "");
        for (in = names[i]; *in; ++in) {
            if (*in == '"' || *in == '\\')
                *out++ = '\\';
            *out++ = *in;
        }
        strcpy(out, "\", \"required\": false}");
    }
    strcat(list, "]}");
    return list;
}

int main(int argc, char** argv)
{
    double *values = NULL, *times, t = 0;
    int count, i;
    char* list;
    if (argc < 4) {
        fprintf(stderr, "usage: step_records <MDF file> <database> <channel>...\n");
        return 2;
    }
    if (!CreateDatabase(argv[1], argv[2]))
        return 1;
    list = channel_list(argc - 3, argv + 3);
    if (list)
        t = OpenDataFile(argv[2], list, &values, &times, &count);
    free(list);
    if (!values)
        return 1; /* no channel found */
    printf("measurement start %.3f\n", t);
    /* The first records' time, then each step's; a table's last row stays
     * with its value (its time stamp becomes DBL_MAX) until the end. */
    for (t = SetCursorsToStart(values, 0); t != DBL_MAX; t = GetNextRecord(values, 0)) {
        printf("%.3f", t);
        for (i = 0; i < count; ++i)
            if (values[i] != DBL_MAX)
                printf(" %g", values[i]);
            else
                printf(" -");
        printf("\n");
    }
    return CloseDataFile(values, 0) ? 0 : 1;
}
