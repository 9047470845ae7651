// A window module that loads with its entry bound but cannot start the
// window: it crashes on a symbol that is missing (a weak one, so loading
// it does not fail) or its entry gives up.
extern "C" void quarrystoneWindowPart() __attribute__((weak));

extern "C" __attribute__((visibility("default"))) int quarrystoneWindowMain(int, char **)
{
#ifdef BROKEN_WINDOW_CRASHES
    quarrystoneWindowPart();
    return 0;
#else
    return 1;
#endif
}
