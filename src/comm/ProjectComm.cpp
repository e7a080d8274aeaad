#include "comm/ProjectComm.h"

#include "comm/PlcComm.h"
#include "comm/PlcExchange.h"
#include "common/TextCase.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>

namespace tavrel::comm {

std::int64_t SteadySeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t MillisecondsUntilDue(const model::clsPlc& plc, const CommEnvironment& env)
{
    if (!plc.Params().ScanMs || !plc.ScanDueMs) {
        return 0;
    }
    return std::max<std::int64_t>(0, *plc.ScanDueMs - env.MonotonicMilliseconds());
}

namespace {

using RunJobs = std::function<void(std::vector<ChannelWorkers::Job>&)>;

void RunInline(std::vector<ChannelWorkers::Job>& jobs)
{
    for (ChannelWorkers::Job& job : jobs) {
        job.work();
    }
}

void MarkNotConnected(model::clsPlc& plc, const CommEnvironment& env)
{
    plc.Connected = false;
    plc.PlcRunning.reset();
    plc.ConnectedTimeOutTimer = env.MonotonicSeconds();
    if (env.Observer) {
        env.Observer->HighlightNotConnectedPlc(plc.Key, plc.LastError);
    }
}

// One PLC's part of a pass.
struct Turn
{
    enum class Kind { Idle, Read, Reopen };
    model::clsPlc* plc = nullptr;
    Kind kind = Kind::Idle;
    ChannelSlot slot;
    ReadPlan read;
    WritePlan write;
    bool writes = false;
    /// Time spent on the PLC's read and write exchanges, on its channel's worker.
    double milliseconds = 0;
};

// Runs an exchange and adds its time to the turn's.
template<class Exchange> void Timed(Turn& turn, Exchange exchange)
{
    const auto start = std::chrono::steady_clock::now();
    exchange();
    turn.milliseconds += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A pass over `plcs` in two rounds of exchanges, each planned and applied on this thread in project order: the
// reads (and the re-opens of PLCs whose wait is over), then the writes of the PLCs whose read was good.
void RunPass(const std::vector<model::clsPlc*>& plcs, const CommEnvironment& env, const RunJobs& run)
{
    std::vector<Turn> turns(plcs.size());
    std::vector<ChannelWorkers::Job> jobs;
    std::optional<std::int64_t> now;
    for (std::size_t i = 0; i < turns.size(); ++i) {
        Turn& turn = turns[i];
        model::clsPlc& plc = *plcs[i];
        turn.plc = &plc;
        if (plc.Connected) {
            if (const auto scanMs = plc.Params().ScanMs) {
                // At most once per scan interval, counted from the start of the exchange.
                now = now ? now : env.MonotonicMilliseconds();
                if (plc.ScanDueMs && *now < *plc.ScanDueMs) {
                    continue;
                }
                plc.ScanDueMs = *now + *scanMs;
            }
            turn.kind = Turn::Kind::Read;
        } else if (env.MonotonicSeconds() - plc.ConnectedTimeOutTimer >= env.ReconnectDelaySeconds) {
            turn.kind = Turn::Kind::Reopen;
        } else {
            continue;
        }
        plc.LastError.clear();
        turn.slot = SlotOf(plc, env);
        if (turn.kind == Turn::Kind::Read) {
            turn.read = PlanRead(plc);
            jobs.push_back(
                { ChannelOf(plc.Params()), [&turn] { Timed(turn, [&turn] { ExchangeRead(turn.slot, turn.read); }); } });
        } else {
            // The PLC counts as connected whatever the open gives; LastError tells a failed open from a good one.
            jobs.push_back({ ChannelOf(plc.Params()), [&turn] { (void)OpenChannel(turn.slot); } });
        }
    }
    run(jobs);

    jobs.clear();
    for (Turn& turn : turns) {
        model::clsPlc& plc = *turn.plc;
        if (turn.kind == Turn::Kind::Idle) {
            continue;
        }
        WriteBack(plc, turn.slot);
        if (turn.kind == Turn::Kind::Read) {
            plc.ExchangeMilliseconds = turn.milliseconds;
        }
        if (turn.kind == Turn::Kind::Reopen) {
            plc.Connected = true;
            if (env.Observer) {
                env.Observer->HighlightConnectedPlc(plc.Key);
            }
            continue;
        }
        if (!ApplyRead(plc, turn.read, env)) {
            MarkNotConnected(plc, env);
            continue;
        }
        plc.Answered = true;
        // Writes are made only after a good read.
        turn.writes = true;
        plc.LastError.clear();
        turn.write = PlanWrite(plc, env);
        turn.slot = SlotOf(plc, env);
        jobs.push_back(
            { ChannelOf(plc.Params()), [&turn] { Timed(turn, [&turn] { ExchangeWrite(turn.slot, turn.write); }); } });
    }
    run(jobs);

    for (Turn& turn : turns) {
        if (!turn.writes) {
            continue;
        }
        WriteBack(*turn.plc, turn.slot);
        turn.plc->ExchangeMilliseconds = turn.milliseconds;
        if (!ApplyWrite(*turn.plc, turn.write, env)) {
            MarkNotConnected(*turn.plc, env);
        }
    }
}

RunJobs OnWorkers(model::clsConfig& config, ChannelWorkers& workers)
{
    std::set<std::string> channels;
    for (const auto& plc : config.colPlcs()) {
        channels.insert(ChannelOf(plc->Params()));
    }
    workers.KeepOnly(channels);
    return [&workers](std::vector<ChannelWorkers::Job>& jobs) { workers.RunAndWait(jobs); };
}

void ForEveryChannel(model::clsConfig& config, const CommEnvironment& env, const RunJobs& run,
                     void (*operation)(ChannelSlot&))
{
    std::vector<ChannelSlot> slots;
    slots.reserve(config.colPlcs().size());
    std::vector<ChannelWorkers::Job> jobs;
    for (const auto& plc : config.colPlcs()) {
        ChannelSlot& slot = slots.emplace_back(SlotOf(*plc, env));
        jobs.push_back({ ChannelOf(plc->Params()), [&slot, operation] { operation(slot); } });
    }
    run(jobs);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        WriteBack(*config.colPlcs()[i], slots[i]);
    }
}

} // namespace

void Refresh(model::clsConfig& config, const CommEnvironment& env)
{
    // One PLC after another, each read and written before the next is read.
    for (const auto& plc : config.colPlcs()) {
        RunPass({ plc.get() }, env, RunInline);
    }
}

void RefreshSideBySide(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers)
{
    std::vector<model::clsPlc*> plcs;
    for (const auto& plc : config.colPlcs()) {
        plcs.push_back(plc.get());
    }
    RunPass(plcs, env, OnWorkers(config, workers));
}

void ResetConnctedState(model::clsConfig& config)
{
    for (const auto& plc : config.colPlcs()) {
        plc->Connected = true;
        plc->Answered = false;
        plc->PlcRunning.reset();
        plc->ScanDueMs.reset();
        // A device's values it would not give are asked for again in a new run.
        for (const auto& item : plc->colItems()) {
            for (model::Clsitem& operand : item->Operands()) {
                operand.BadReason.clear();
            }
        }
    }
}

void OpenPlcsComm(model::clsConfig& config, const CommEnvironment& env)
{
    ForEveryChannel(config, env, RunInline, [](ChannelSlot& slot) { (void)OpenChannel(slot); });
}

void OpenPlcsComm(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers)
{
    ForEveryChannel(config, env, OnWorkers(config, workers), [](ChannelSlot& slot) { (void)OpenChannel(slot); });
}

void ClosePlcsComm(model::clsConfig& config, const CommEnvironment& env)
{
    ForEveryChannel(config, env, RunInline, CloseChannel);
}

void ClosePlcsComm(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers)
{
    ForEveryChannel(config, env, OnWorkers(config, workers), CloseChannel);
}

void BuildBinaryMix(model::clsConfig& config)
{
    for (const auto& plc : config.colPlcs()) {
        BuildBinaryMix(*plc);
    }
}

model::clsPlc* FindPlcByName(const model::clsConfig& config, std::string_view name)
{
    for (const auto& plc : config.colPlcs()) {
        if (common::SameTextIgnoringCase(plc->Name, name)) {
            return plc.get();
        }
    }
    return nullptr;
}

bool RunPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env)
{
    model::clsPlc* plc = FindPlcByName(config, pPlcName);
    if (plc) {
        (void)RunMe(*plc, env);
    }
    return plc != nullptr;
}

bool StopPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env)
{
    model::clsPlc* plc = FindPlcByName(config, pPlcName);
    if (plc) {
        (void)StopMe(*plc, env);
    }
    return plc != nullptr;
}

} // namespace tavrel::comm
