// What the fuzz targets share: a property check that stops the run, and the
// application object that the image plugins and the standard paths want.
// The same sources build the libFuzzer targets (clang) and the replay of the
// stored inputs in the normal test suite (any compiler).
#pragma once

#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>
#include <QString>

namespace calmora::fuzz {

// A broken property is a finding like a crash: abort() makes libFuzzer keep
// the input, and makes the replay test fail.
inline void check(bool holds, const QString& what)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", qUtf8Printable(what));
    std::abort();
}

inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "calmora-fuzz";
    static char* argv[] = { name, nullptr };
    // Kept for the life of the process: inputs come one after another.
    static QCoreApplication application(argc, argv);
}

} // namespace calmora::fuzz
