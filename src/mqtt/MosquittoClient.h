#pragma once

#include <string>

struct mosquitto;

namespace tavrel::mqtt {

/// Owns one libmosquitto client handle: move-only, destroyed with the object. The library is initialised once,
/// on the first handle made.
class MosquittoClient
{
public:
    /// A new client with `clientId` (empty: the library makes one up), starting with a clean session each
    /// time, `userData` handed to every callback. An empty handle when the library cannot make one.
    MosquittoClient(const std::string& clientId, void* userData);
    MosquittoClient(const MosquittoClient&) = delete;
    MosquittoClient& operator=(const MosquittoClient&) = delete;
    MosquittoClient(MosquittoClient&& other) noexcept;
    MosquittoClient& operator=(MosquittoClient&& other) noexcept;
    ~MosquittoClient(); // mosquitto_destroy

    mosquitto* Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    mosquitto* m_handle = nullptr;
};

/// The text of a libmosquitto result code; for MOSQ_ERR_ERRNO the text of `errorNumber`.
std::string MosquittoErrorText(int code, int errorNumber);

} // namespace tavrel::mqtt
