#ifndef KXFUZZ_H
#define KXFUZZ_H

// Shared bits of the fuzz targets.

#include <QByteArray>
#include <QLoggingCategory>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: say which one, then abort so libFuzzer
// keeps the input and prints the stack.
#define KX_FUZZ_CHECK(cond)                                                                        \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// The codec's debug lines would otherwise be written for every input.
inline void kxFuzzQuietLogging()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kx.*.debug=false"));
}

// Deep copy of the fuzzer's bytes: the codec may keep references into its
// input, and libFuzzer reuses the buffer.
inline QByteArray kxFuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

#endif // KXFUZZ_H
