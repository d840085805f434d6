#ifndef KXDEBUGLOGGING_H
#define KXDEBUGLOGGING_H

#include <QLoggingCategory>

namespace kxtest {

// Switches debug output of one logging category on for a scope, whatever
// QT_LOGGING_RULES says (CTest silences the kit's categories), so that a test
// can expect the kit's exact log lines with QTest::ignoreMessage.
class ScopedDebugLogging
{
public:
    explicit ScopedDebugLogging(const char* category)
    {
        s_category = category;
        s_previous = QLoggingCategory::installFilter(&filter);
    }
    ~ScopedDebugLogging()
    {
        QLoggingCategory::installFilter(s_previous);
        s_previous = nullptr;
    }
    ScopedDebugLogging(const ScopedDebugLogging&) = delete;
    ScopedDebugLogging& operator=(const ScopedDebugLogging&) = delete;

private:
    static void filter(QLoggingCategory* category)
    {
        if (s_previous) // not yet known while the filter is being installed
            s_previous(category);
        if (qstrcmp(category->categoryName(), s_category) == 0)
            category->setEnabled(QtDebugMsg, true);
    }

    static inline const char* s_category = nullptr;
    static inline QLoggingCategory::CategoryFilter s_previous = nullptr;
};

} // namespace kxtest

#endif // KXDEBUGLOGGING_H
