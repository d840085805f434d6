#include "LuaFn.h"

#include "KXUpgrade/KXUpgradeLog.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTime>

#include <lua.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>

namespace {

constexpr const char* kCpathVariable = "KX_LUA_CPATH";
constexpr const char* kModuleFile = "cjson.so";
constexpr int kHookInterval = 10000;

// Set once "KX_LUA_CPATH" points at an existing module; a miss is tried again
// by the next object, in case the module appears later.
std::atomic<bool> g_cpathReady{false};

// Registry key under which a state keeps the object that runs it.
char g_ownerKey;

// The interpreter's own search path for C modules, e.g.
// "./?.so;/usr/lib/x86_64-linux-gnu/lua/5.1/?.so;...". Asking the library
// keeps the platform's folder layout out of our code.
QStringList systemModulePaths()
{
    lua_State* state = luaL_newstate();
    if (!state)
        return {};
    luaL_openlibs(state);
    lua_getglobal(state, "package");
    lua_getfield(state, -1, "cpath");
    const QString cpath = QString::fromLocal8Bit(lua_tostring(state, -1));
    lua_close(state);
    QStringList paths;
    for (const QString& pattern : cpath.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        // Relative entries depend on the working folder; not a place to trust.
        if (pattern.startsWith(QLatin1Char('/')) && pattern.contains(QLatin1Char('?')))
            paths.append(QString(pattern).replace(QLatin1Char('?'), QStringLiteral("cjson")));
    }
    return paths;
}

// Beside the application first (a host may ship its own module), then where
// the platform's Lua 5.1 keeps its C modules.
void prepareModulePath()
{
    if (g_cpathReady.load() || !qEnvironmentVariableIsEmpty(kCpathVariable))
        return;
    QString besideApp;
    if (QCoreApplication::instance())
        besideApp =
            QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kModuleFile);
    QStringList candidates = systemModulePaths();
    if (!besideApp.isEmpty())
        candidates.prepend(besideApp);
    for (const QString& path : qAsConst(candidates)) {
        if (QFileInfo(path).isFile()) {
            qputenv(kCpathVariable, path.toLocal8Bit());
            g_cpathReady.store(true);
            return;
        }
    }
    const QString header = QStringLiteral("%1(%2):%3(%4)[WARN ]")
                               .arg(QStringLiteral("LuaFn.cpp"))
                               .arg(__LINE__)
                               .arg(QStringLiteral("CLuaFn::CLuaFn"),
                                    QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")));
    qCWarning(lcUpgrade).noquote()
        << header + QStringLiteral("File does not exist:")
        << (besideApp.isEmpty() ? QLatin1String(kModuleFile) : besideApp);
}

} // namespace

// Keeps a script within CLuaFn::kMaxInstructions. The count hook raises an
// error once the bound is passed, and again at every later interval; since a
// script could catch those with pcall, xpcall or coroutine.resume, those are
// wrapped to pass the stop on.
struct CLuaFnHook
{
    static bool overBudget(lua_State* state)
    {
        lua_pushlightuserdata(state, &g_ownerKey);
        lua_rawget(state, LUA_REGISTRYINDEX);
        auto* owner = static_cast<CLuaFn*>(lua_touserdata(state, -1));
        lua_pop(state, 1);
        return owner && owner->m_hookCalls > CLuaFn::kMaxInstructions / kHookInterval;
    }

    static void onCount(lua_State* state, lua_Debug*)
    {
        lua_pushlightuserdata(state, &g_ownerKey);
        lua_rawget(state, LUA_REGISTRYINDEX);
        auto* owner = static_cast<CLuaFn*>(lua_touserdata(state, -1));
        lua_pop(state, 1);
        if (owner && ++owner->m_hookCalls > CLuaFn::kMaxInstructions / kHookInterval)
            luaL_error(state, "instruction bound reached");
    }

    // Calls the wrapped function (upvalue 1) with all arguments.
    static int protectedCall(lua_State* state)
    {
        const int arguments = lua_gettop(state);
        lua_pushvalue(state, lua_upvalueindex(1));
        lua_insert(state, 1);
        lua_call(state, arguments, LUA_MULTRET);
        if (overBudget(state))
            luaL_error(state, "instruction bound reached");
        return lua_gettop(state);
    }

    // Replaces table[name] (the table on top of the stack) by the wrapper.
    static void wrap(lua_State* state, const char* name)
    {
        lua_getfield(state, -1, name);
        lua_pushcclosure(state, &protectedCall, 1);
        lua_setfield(state, -2, name);
    }

    // The state's allocator: plain realloc, counted against the owner's limit.
    static void* allocate(void* ownerPointer, void* block, size_t oldSize, size_t newSize)
    {
        auto* owner = static_cast<CLuaFn*>(ownerPointer);
        if (newSize == 0) {
            std::free(block);
            owner->m_memoryUsed -= oldSize;
            return nullptr;
        }
        // A shrinking block must not fail (Lua relies on that).
        if (newSize > oldSize && owner->m_memoryUsed - oldSize + newSize > owner->m_memoryLimit)
            return nullptr;
        void* grown = std::realloc(block, newSize);
        if (grown)
            owner->m_memoryUsed = owner->m_memoryUsed - oldSize + newSize;
        return grown;
    }

    static int onPanic(lua_State* state)
    {
        qCWarning(lcUpgrade).noquote()
            << "Lua error outside a protected call:" << lua_tostring(state, -1);
        return 0;
    }

    static void install(lua_State* state)
    {
        lua_pushvalue(state, LUA_GLOBALSINDEX);
        wrap(state, "pcall");
        wrap(state, "xpcall");
        lua_pop(state, 1);
        lua_getglobal(state, "coroutine");
        wrap(state, "resume");
        lua_pop(state, 1);
        lua_sethook(state, &onCount, LUA_MASKCOUNT, kHookInterval);
    }
};

CLuaFn::CLuaFn()
{
    prepareModulePath();
}

CLuaFn::~CLuaFn()
{
    closeState();
}

void CLuaFn::openState()
{
    if (m_state)
        return;
    // As luaL_newstate, with an allocator that can refuse a greedy script.
    m_state = lua_newstate(&CLuaFnHook::allocate, this);
    if (!m_state)
        return;
    lua_atpanic(m_state, &CLuaFnHook::onPanic);
    luaL_openlibs(m_state);
    lua_pushlightuserdata(m_state, &g_ownerKey);
    lua_pushlightuserdata(m_state, this);
    lua_rawset(m_state, LUA_REGISTRYINDEX);
    CLuaFnHook::install(m_state);
}

void CLuaFn::closeState()
{
    if (m_state)
        lua_close(m_state);
    m_state = nullptr;
}

int CLuaFn::callFunction(const QString& scriptFile, const QString& function, const QString& a1,
                         const QString& a2, const QString& a3, const QString& a4)
{
    if (!m_state)
        return NoState;
    lua_State* L = m_state;
    lua_settop(L, 0);
    m_hookCalls = 0;
    const auto runScript = [&](int arguments, int results) {
        m_memoryLimit = m_memoryUsed + kMaxMemory;
        const int status = lua_pcall(L, arguments, results, 0);
        m_memoryLimit = SIZE_MAX;
        return status;
    };
    const auto overBudget = [&] {
        if (m_hookCalls <= kMaxInstructions / kHookInterval)
            return false;
        qCWarning(lcUpgrade).noquote()
            << "Script stopped after" << kMaxInstructions << "instructions:" << scriptFile;
        lua_settop(L, 0);
        return true;
    };

    if (luaL_loadfile(L, scriptFile.toUtf8().constData()) != 0) {
        qCWarning(lcUpgrade).noquote() << "Script does not load:" << lua_tostring(L, -1);
        lua_settop(L, 0);
        return NoFunction;
    }
    // The chunk only defines things; a failure there shows up as a missing
    // function below.
    runScript(0, 0);
    if (overBudget())
        return OverBudget;
    lua_settop(L, 0);

    lua_getglobal(L, function.toUtf8().constData());
    if (!lua_isfunction(L, -1)) {
        qCWarning(lcUpgrade).noquote() << "Script has no function" << function;
        lua_settop(L, 0);
        return NoFunction;
    }
    for (const QString* arg : {&a1, &a2, &a3, &a4}) {
        const QByteArray utf8 = arg->toUtf8();
        lua_pushlstring(L, utf8.constData(), size_t(utf8.size()));
    }
    if (runScript(4, 1) != 0) {
        if (overBudget())
            return OverBudget;
        qCWarning(lcUpgrade).noquote() << "Script error:" << lua_tostring(L, -1);
        lua_settop(L, 0);
        return CallFailed;
    }
    // lua_isnumber would also take numeric strings; the contract is a number.
    if (lua_type(L, -1) != LUA_TNUMBER) {
        lua_settop(L, 0);
        return NotANumber;
    }
    const double value = std::trunc(lua_tonumber(L, -1));
    lua_settop(L, 0);
    // Out-of-range numbers (and NaN) would be undefined to convert.
    if (!(value >= double(INT_MIN) && value <= double(INT_MAX)))
        return NotANumber;
    return int(value);
}
