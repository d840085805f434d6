#ifndef LUAFN_H
#define LUAFN_H

#include <QString>

#include <cstddef>
#include <cstdint>

struct lua_State;

// Runs a package's upgrade script in an embedded Lua 5.1 interpreter and
// calls one of its global functions. Used on the caller's thread; one object
// per check, not shared between threads.
class CLuaFn
{
public:
    // Results of callFunction besides the number the function returns.
    enum Code
    {
        NoState = 605,    // openState was not called
        NoFunction = 606, // the script does not load, or lacks the function
        CallFailed = 607, // the function raised an error
        NotANumber = 608, // the function returned something else
        OverBudget = 609, // the script ran past kMaxInstructions
    };

    // A script may not hang the kit: past this many Lua instructions (the
    // top-level chunk and the call together) it is stopped and refused
    // (about half a second of plain Lua on a desktop machine).
    static constexpr int kMaxInstructions = 200 * 1000 * 1000;

    // Memory a script may take on top of what its arguments hold; past it,
    // allocations fail as Lua's own "not enough memory" error. This also
    // bounds library calls that run long without Lua instructions.
    static constexpr size_t kMaxMemory = size_t(64) * 1024 * 1024;

    // Points "KX_LUA_CPATH" at the cjson module once per process, unless the
    // host has already set it.
    CLuaFn();
    virtual ~CLuaFn();
    CLuaFn(const CLuaFn&) = delete;
    CLuaFn& operator=(const CLuaFn&) = delete;

    void openState();
    void closeState();

    // Loads and runs `scriptFile`, then calls its global `function` with the
    // four texts. Returns the function's number truncated toward zero, or
    // one of the codes above. Blocks for as long as the script runs, within
    // the instruction bound.
    int callFunction(const QString& scriptFile, const QString& function, const QString& a1,
                     const QString& a2, const QString& a3, const QString& a4);

private:
    friend struct CLuaFnHook;
    lua_State* m_state = nullptr;
    int m_hookCalls = 0;
    size_t m_memoryUsed = 0;
    size_t m_memoryLimit = SIZE_MAX; // kMaxMemory applies only while a script runs
};

#endif // LUAFN_H
