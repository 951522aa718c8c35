/* The checks the C test drivers share: each failed check prints one FAIL line and counts;
 * finish_checks() gives the driver's exit status. Include once, from the driver itself. */
#ifndef QUORREL_TEST_C_CHECKS_H
#define QUORREL_TEST_C_CHECKS_H

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "quorrel.h"

static int failures = 0;

static void expect_int(const char* what, int got, int want) {
    if (got != want) {
        fprintf(stderr, "FAIL %s: got %d, want %d\n", what, got, want);
        ++failures;
    }
}

/* Equal, or within `relative` of `want`. */
static void expect_real_within(const char* what, double got, double want, double relative) {
    if (got != want && !(fabs(got - want) <= relative * fabs(want))) {
        fprintf(stderr, "FAIL %s: got %.17g, want %.17g\n", what, got, want);
        ++failures;
    }
}

/* The code and message of the error state, read through quorrel_get_last_error. */
static void expect_error(const char* what, int want_code, const char* want_message) {
    int code = -99;
    char message[256];
    expect_int(what, quorrel_get_last_error(&code, message, (int)sizeof message), 0);
    expect_int(what, code, want_code);
    if (strcmp(message, want_message) != 0) {
        fprintf(stderr, "FAIL %s: message \"%s\", want \"%s\"\n", what, message, want_message);
        ++failures;
    }
}

/* The exit status: 1 with the count of failures, else 0 with "<driver>: all checks passed". */
static int finish_checks(const char* driver) {
    if (failures) {
        fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    printf("%s: all checks passed\n", driver);
    return 0;
}

#endif
