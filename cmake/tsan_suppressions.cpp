// Linked into every executable of the ThreadSanitizer build: the runtime asks for these suppressions at start.
// An executable must not define its own list (the linker refuses a second definition); add to this one.
//
// Some system libraries run threads or locks of their own and are built without ThreadSanitizer:
// - libavcodec's slice threads (the H.265 decoder's wavefront rows) and oneTBB's workers (OpenCV's parallel
//   loops, also inside its image codecs) hand work on through C11 atomics the sanitizer cannot see, so the
//   memset/memcpy/new/delete calls of those threads (the only accesses of theirs it intercepts) look
//   unordered and are reported as races inside the library, more often the busier the machine;
// - GDAL, which OpenCV's image codecs load, takes two of its own mutexes in both orders on its first use.
// A report is dropped only when a frame of its stacks lies in such a library; races in our own code stay
// reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libtbb.so\n"
           "race:libopencv_imgcodecs.so\n"
           "deadlock:libgdal.so\n";
}
