#pragma once

#include "comm/CommDriver.h"
#include "comm/CommEnvironment.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavrel::test {

/// One scripted answer of a driver operation.
struct DriverAnswer
{
    enum class Kind { Ok, Fail, Throw, Refuse }; ///< Refuse: false, refused before anything was sent
    Kind kind = Kind::Ok;
    double value = 0; ///< what a read delivers in element 0 (a currency as its number, not scaled)

    static DriverAnswer Value(double v) { return { Kind::Ok, v }; }
    static DriverAnswer Fails() { return { Kind::Fail, 0 }; }
    static DriverAnswer Throws() { return { Kind::Throw, 0 }; }
    static DriverAnswer Refuses() { return { Kind::Refuse, 0 }; }
};

/// The script and the record shared by every driver instance a factory makes: the calls in order, as
/// texts like "ReadMI(10,1)" or "WriteML(3,1,123)" ("new" when an instance is made), and the answers to
/// give, queued per operation. An operation with no queued answer succeeds with 0; ConnectEthernet
/// answers ConnectStatus.
class DriverScript
{
public:
    std::vector<std::string> calls;
    std::int32_t ConnectStatus = 0;
    /// What CheckWrite answers; unset: every value is accepted.
    std::function<std::optional<common::Refusal>(std::int32_t, std::int32_t, const comm::OperandWriteValue&)>
        WriteCheck;
    /// Fills the entries of a batched read that succeeds; unset: one zeroed record per operand.
    std::function<void(std::vector<common::BinaryMixEntry>&)> FillBinaryMix;
    /// What PlcRunning answers after a batched read; unset: the driver cannot say.
    std::optional<bool> Running;

    /// Notes a call; instances on several channel workers note theirs side by side.
    void Record(std::string call);
    /// Runs on every call, before it is answered, on the thread that makes it (null: nothing).
    std::function<void(const std::string&)> OnCall;

    /// Queues answers for an operation, given in the order they will be used.
    void Queue(const std::string& operation, std::initializer_list<DriverAnswer> answers);
    /// The answer every call of an operation gets once its queue is empty.
    void Always(const std::string& operation, DriverAnswer answer) { m_always[operation] = answer; }

    /// The next answer of an operation.
    DriverAnswer Next(const std::string& operation);

    /// A factory that makes instances recording into this script.
    std::function<std::shared_ptr<comm::CommDriver>(const model::clsPlc&)> Factory();

    /// Calls recorded since the last Clear, without "new" entries when `withCreation` is false.
    std::vector<std::string> Calls(bool withCreation = true) const;
    void Clear() { calls.clear(); }

private:
    // A script that is assigned over keeps its own lock.
    struct Lock
    {
        std::mutex mutex;
        Lock() = default;
        Lock(const Lock&) { }
        Lock& operator=(const Lock&) { return *this; }
    };
    Lock m_lock;
    std::map<std::string, std::deque<DriverAnswer>> m_queues;
    std::map<std::string, DriverAnswer> m_always;
};

/// A driver that records every call into its script and answers from it.
class ScriptedDriver : public comm::CommDriver
{
public:
    explicit ScriptedDriver(std::shared_ptr<DriverScript> script)
        : m_script(std::move(script))
    {
    }

    void SetUnitId(std::uint8_t unitId) override;
    bool OpenSerial(std::int32_t& comPort, comm::SerialSettings& settings) override;
    void SetEthernetMode(std::int32_t mode) override;
    void SetRemoteHost(const std::string& host) override;
    void SetRemotePort(std::int32_t port) override;
    void SetTimeOut(std::int32_t milliseconds) override;
    void SetRetries(std::int16_t retries) override;
    std::int32_t ConnectEthernet() override;
    bool OpenEthernet() override;
    void CloseSerial() override;
    void CloseEthernet() override;
    bool PlcStop(std::uint8_t& status) override;
    bool PlcRun(std::uint8_t& status) override;
    bool ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status) override;
    std::optional<bool> PlcRunning() const override { return m_script->Running; }

#define TAVREL_SCRIPTED_OPERATION(Direction, Operand, Element)                                                         \
    bool Direction##Operand(std::int16_t address, std::int16_t count, std::span<Element> values, std::uint8_t& status) \
        override                                                                                                       \
    {                                                                                                                  \
        return Exchange(#Direction #Operand, address, count, values, status);                                          \
    }
    TAVREL_COMM_DRIVER_OPERATIONS(TAVREL_SCRIPTED_OPERATION)
#undef TAVREL_SCRIPTED_OPERATION

    std::string LastError() const override
    {
        return m_refused ? "scripted refusal" : "scripted failure";
    }
    std::optional<common::Refusal> CheckWrite(std::int32_t operandType, std::int32_t address,
                                              const comm::OperandWriteValue& value) const override
    {
        return m_script->WriteCheck ? m_script->WriteCheck(operandType, address, value) : std::nullopt;
    }
    comm::FailureKind LastFailureKind() const override
    {
        return m_refused ? comm::FailureKind::Refused : comm::FailureKind::Exchange;
    }

private:
    bool Answer(const std::string& operation);

    template<class Element>
    bool Exchange(const std::string& name, std::int16_t address, std::int16_t count, std::span<Element> values,
                  std::uint8_t& status);

    std::shared_ptr<DriverScript> m_script;
    bool m_refused = false; ///< the last failed operation was refused
};

} // namespace tavrel::test
