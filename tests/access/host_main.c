/* A host program in C: opens a measurement database for a channel list,
 * prints the open and every record until the end, and closes it. Compiled as
 * C against the public header and linked to the shared library.
 *
 * host_main <database> <channel list> [<MDF file to build the database from>] */
#include <float.h>
#include <stdio.h>

#include <vantrel.h>

static void print_record(char const* kind, double t, double const* values, double const* stamps, int count)
{
    int i;
    printf("%s %.17g", kind, t);
    for (i = 0; i < count; ++i)
        printf(" %.17g %.17g", values[i], stamps[i]);
    printf("\n");
}

int main(int argc, char** argv)
{
    double* values = NULL;
    double* stamps = NULL;
    int count = 0;
    double start, t;
    double bounds[2];
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: host_main <database> <channel list> [<MDF file>]\n");
        return 2;
    }
    if (argc == 4)
        printf("created %d\n", CreateDatabase(argv[3], argv[1]));
    printf("channels %d\n", GetNumChannels(argv[2]));
    start = OpenDataFile(argv[1], argv[2], &values, &stamps, &count);
    if (!values || count <= 0) {
        printf("open failed %.17g\n", start);
        return 1;
    }
    printf("start %.17g\n", start);
    if (!GetMeasurementTimeBounds(values, 0, &bounds[0], &bounds[1]))
        return 1;
    printf("bounds %.17g %.17g\n", bounds[0], bounds[1]);
    print_record("open", SetCursorsToStart(values, 0), values, stamps, count);
    while ((t = GetNextRecord(values, 0)) != DBL_MAX)
        print_record("record", t, values, stamps, count);
    printf("closed %d\n", CloseDataFile(values, 0));
    return 0;
}
