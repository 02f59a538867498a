// Linked into every executable of the ThreadSanitizer build: the runtime asks for these suppressions at start.
//
// libavcodec is a system library built without ThreadSanitizer. Its slice threads (the H.265 decoder's
// wavefront rows) hand work on through C11 atomics the sanitizer cannot see, so the memset/memcpy calls
// those threads make (the only accesses of theirs it intercepts) look unordered and are reported as races
// inside libavcodec, more often the busier the machine. Accesses made by our own code stay checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n";
}
