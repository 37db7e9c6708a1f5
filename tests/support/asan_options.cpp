// Under qemu-i386 the leak checker's stop-the-world never returns, so leaks
// are checked by the allocation-counting tests instead.
#if defined(FENNIC_EMULATED)
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif
