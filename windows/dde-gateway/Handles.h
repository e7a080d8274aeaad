#pragma once

#include <windows.h>

#include <ddeml.h>
#include <winhttp.h>

#include <string>
#include <utility>

namespace tavrel::dde {

/// A WinHTTP handle (session, connection, request or WebSocket), closed with the object.
class InternetHandle
{
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle)
        : m_handle(handle)
    {
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle(InternetHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr))
    {
    }
    InternetHandle& operator=(InternetHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(std::exchange(other.m_handle, nullptr));
        }
        return *this;
    }
    ~InternetHandle() { Reset(); }

    HINTERNET Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    /// Gives the handle up, without closing it (it was closed elsewhere).
    HINTERNET Release() { return std::exchange(m_handle, nullptr); }
    void Reset(HINTERNET handle = nullptr)
    {
        if (m_handle != nullptr) {
            WinHttpCloseHandle(m_handle);
        }
        m_handle = handle;
    }

private:
    HINTERNET m_handle = nullptr;
};

/// A kernel object handle (event, mutex, thread), closed with the object.
class KernelHandle
{
public:
    KernelHandle() = default;
    explicit KernelHandle(HANDLE handle)
        : m_handle(handle)
    {
    }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    KernelHandle(KernelHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr))
    {
    }
    KernelHandle& operator=(KernelHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(std::exchange(other.m_handle, nullptr));
        }
        return *this;
    }
    ~KernelHandle() { Reset(); }

    HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void Reset(HANDLE handle = nullptr)
    {
        if (m_handle != nullptr) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

/// A DDEML instance (DdeInitializeW), uninitialised with the object. Belongs to the thread that made it.
class DdeInstance
{
public:
    DdeInstance() = default;
    /// Registers `callback` for the transactions that `flags` let through; an empty instance on failure,
    /// with the DDEML error in `error`.
    DdeInstance(PFNCALLBACK callback, DWORD flags, UINT& error)
    {
        error = DdeInitializeW(&m_id, callback, flags, 0);
        if (error != DMLERR_NO_ERROR) {
            m_id = 0;
        }
    }
    DdeInstance(const DdeInstance&) = delete;
    DdeInstance& operator=(const DdeInstance&) = delete;
    DdeInstance(DdeInstance&& other) noexcept
        : m_id(std::exchange(other.m_id, 0))
    {
    }
    DdeInstance& operator=(DdeInstance&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_id = std::exchange(other.m_id, 0);
        }
        return *this;
    }
    ~DdeInstance() { Reset(); }

    DWORD Id() const { return m_id; }
    explicit operator bool() const { return m_id != 0; }
    void Reset()
    {
        if (m_id != 0) {
            DdeUninitialize(m_id);
            m_id = 0;
        }
    }

private:
    DWORD m_id = 0;
};

/// A DDE string handle of one instance, freed with the object.
class StringHandle
{
public:
    StringHandle() = default;
    StringHandle(DWORD instance, const std::wstring& text)
        : m_instance(instance)
        , m_handle(DdeCreateStringHandleW(instance, text.c_str(), CP_WINUNICODE))
    {
    }
    StringHandle(const StringHandle&) = delete;
    StringHandle& operator=(const StringHandle&) = delete;
    StringHandle(StringHandle&& other) noexcept
        : m_instance(other.m_instance)
        , m_handle(std::exchange(other.m_handle, nullptr))
    {
    }
    StringHandle& operator=(StringHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_instance = other.m_instance;
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    ~StringHandle() { Reset(); }

    HSZ Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    /// True when `other` names the same string, compared as DDE compares names: without regard to case.
    bool Is(HSZ other) const { return m_handle != nullptr && DdeCmpStringHandles(m_handle, other) == 0; }
    void Reset()
    {
        if (m_handle != nullptr) {
            DdeFreeStringHandle(m_instance, m_handle);
            m_handle = nullptr;
        }
    }

private:
    DWORD m_instance = 0;
    HSZ m_handle = nullptr;
};

} // namespace tavrel::dde
