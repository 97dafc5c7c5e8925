// The one symbol each engine module exports: its PyInit function (everything else is hidden).
#pragma once

#if defined(__GNUC__)
#define VENDREL_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define VENDREL_EXPORT extern "C"
#endif
