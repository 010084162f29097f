/* A DLL for the other bitness than the suite's, built with the other
   cross compiler: registered as a compressor for this bitness, it is a
   driver file the platform cannot load here. */
__declspec(dllexport) long __stdcall DriverProc(void* id, void* driver, unsigned message,
                                                long first, long second)
{
    (void)id, (void)driver, (void)message, (void)first, (void)second;
    return 0;
}
