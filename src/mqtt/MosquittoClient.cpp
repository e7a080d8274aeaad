#include "mqtt/MosquittoClient.h"

#include <mosquitto.h>

#include <cstring>
#include <utility>

namespace tavrel::mqtt {

namespace {

void InitialiseLibraryOnce()
{
    // Thread-safe once; the library stays initialised for the life of the process.
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
}

} // namespace

MosquittoClient::MosquittoClient(const std::string& clientId, void* userData)
{
    InitialiseLibraryOnce();
    m_handle = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), true, userData);
}

MosquittoClient::MosquittoClient(MosquittoClient&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr))
{
}

MosquittoClient& MosquittoClient::operator=(MosquittoClient&& other) noexcept
{
    if (this != &other) {
        if (m_handle != nullptr) {
            mosquitto_destroy(m_handle);
        }
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

MosquittoClient::~MosquittoClient()
{
    if (m_handle != nullptr) {
        mosquitto_destroy(m_handle);
    }
}

std::string MosquittoErrorText(int code, int errorNumber)
{
    if (code == MOSQ_ERR_ERRNO) {
        return std::strerror(errorNumber);
    }
    return mosquitto_strerror(code);
}

} // namespace tavrel::mqtt
