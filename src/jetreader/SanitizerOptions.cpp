// Built into the reader only for fuzzing. The reader starts with an empty
// environment and its standard error goes nowhere, so what the sanitizers
// find in it is written to files that the fuzzer reads after each input
// instead. A report must be whole before the program kills a reader gone
// silent, so it is not symbolized, which takes long. The leaks of a process
// that is killed mean nothing.
#define MORVANE_READER_SANITIZER_OPTIONS "log_path=" MORVANE_READER_REPORTS "/reader:symbolize=0:detect_leaks=0"

extern "C" const char *__asan_default_options()
{
    return MORVANE_READER_SANITIZER_OPTIONS;
}

extern "C" const char *__ubsan_default_options()
{
    return MORVANE_READER_SANITIZER_OPTIONS ":print_stacktrace=1";
}
