#include "ComInitializer.h"

#include <QtGlobal>
#ifdef Q_OS_WIN
#include <objbase.h>
#endif

ComInitializer::ComInitializer()
{
#ifdef Q_OS_WIN
    initialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
#endif
}

ComInitializer::~ComInitializer()
{
#ifdef Q_OS_WIN
    if (initialized)
        CoUninitialize();
#endif
}
