#pragma once

#include <string>

namespace tavrel::common {

/// Why a poke, a write or a command is not carried out, said once for every layer: the driver's write check, the
/// item check and the item service answer with it, and each client surface maps the kind to its own codes with
/// one table (HTTP status, WebSocket error, MQTT error message, OPC UA status code).
struct Refusal
{
    enum class Kind {
        UnknownItem, ///< no item of that name: no label of that index, or one that is no item's
        NotWritable, ///< the item or operand never takes a value: read-only, disabled, a vector, no write on this
                     ///< PLC
        BadValue, ///< the text is no value of the item's kind: not a number or timer text, an empty text
        OutOfRange, ///< a value of the right kind that the item or the PLC's operand cannot hold
        NotAllowed, ///< the caller's role may not do this
        UnknownCommand ///< an execute command that names nothing Tavrel knows
    };
    Kind kind;
    std::string reason;
};

} // namespace tavrel::common
