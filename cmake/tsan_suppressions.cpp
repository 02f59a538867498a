// Linked into every executable of the ThreadSanitizer build: the runtime asks for these suppressions at start.
//
// Some system libraries run thread pools of their own and are built without ThreadSanitizer: libavcodec's
// slice threads (the H.265 decoder's wavefront rows) and oneTBB's workers (OpenCV's parallel loops). They
// hand work on through C11 atomics the sanitizer cannot see, so the memset/memcpy/new/delete calls of those
// threads (the only accesses of theirs it intercepts) look unordered and are reported as races inside the
// library, more often the busier the machine. A report is dropped only when a frame of its stacks lies in
// such a library; races in our own code stay reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libtbb.so\n";
}
