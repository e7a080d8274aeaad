#include "opcua/Codec.h"
#include "opcua/Messages.h"

#include "OpcUaBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavrel::opcua;
using tavrel::opcua::test::Hex;
using tavrel::opcua::test::Unhex;

namespace {

std::string EncodeHex(const Variant& value)
{
    std::vector<std::uint8_t> bytes;
    Encoder encoder(bytes);
    Encode(encoder, value);
    return Hex(bytes);
}

Guid SampleGuid()
{
    return Guid { 0x72962B91, 0xFA75, 0x4AE6, { 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63 } };
}

struct Known
{
    const char* name;
    Variant value;
    const char* hex; ///< the Variant's bytes: its encoding byte, then the value
};

// Byte sequences worked out by hand from the UA Binary layouts: little-endian numbers, length-prefixed UTF-8, the
// NodeId encodings, the masks of LocalizedText, DataValue and DiagnosticInfo, and Variant arrays and matrices.
std::vector<Known> KnownEncodings()
{
    DataValue dataValue;
    dataValue.value = Variant(Scalar(std::int32_t { 7 }));
    dataValue.sourceTimestamp = DateTime { 0x0102030405060708 };
    DataValue statusOnly;
    statusOnly.status = StatusCode { status::kBadNodeIdUnknown };
    statusOnly.serverPicoseconds = 10;
    DiagnosticInfo diagnostics;
    diagnostics.symbolicId = 1;
    diagnostics.localizedText = 2;
    diagnostics.additionalInfo = "x";
    diagnostics.innerStatusCode = StatusCode { status::kBadTimeout };
    DiagnosticInfo inner;
    inner.locale = 3;
    diagnostics.innerDiagnosticInfo = Boxed<DiagnosticInfo>(inner);
    ExtensionObject object;
    object.typeId = NodeId(0, 886);
    object.encoding = ExtensionObject::Encoding::Binary;
    object.body = std::string("\x01\x02", 2);
    Variant matrix = Variant::Array(BuiltinType::Byte,
                                    { std::uint8_t { 1 }, std::uint8_t { 2 }, std::uint8_t { 3 }, std::uint8_t { 4 },
                                      std::uint8_t { 5 }, std::uint8_t { 6 } });
    matrix.dimensions = { 2, 3 };
    return {
        { "empty", Variant(), "00" },
        { "true", Variant(Scalar(true)), "01 01" },
        { "sbyte -2", Variant(Scalar(std::int8_t { -2 })), "02 fe" },
        { "int16 -2", Variant(Scalar(std::int16_t { -2 })), "04 feff" },
        { "uint16", Variant(Scalar(std::uint16_t { 0x1234 })), "05 3412" },
        { "int32 1e9", Variant(Scalar(std::int32_t { 1000000000 })), "06 00ca9a3b" },
        { "uint32", Variant(Scalar(std::uint32_t { 0xDEADBEEF })), "07 efbeadde" },
        { "int64 -1", Variant(Scalar(std::int64_t { -1 })), "08 ffffffffffffffff" },
        { "uint64", Variant(Scalar(std::uint64_t { 0x0102030405060708 })), "09 0807060504030201" },
        { "float -6.5", Variant(Scalar(-6.5F)), "0a 0000d0c0" },
        { "double 1", Variant(Scalar(1.0)), "0b 000000000000f03f" },
        { "string with a CJK letter",
          Variant(Scalar(std::string("\xE6\xB0\xB4"
                                     "Boy"))),
          "0c 06000000 e6b0b4 426f79" },
        { "empty string", Variant(Scalar(std::string())), "0c 00000000" },
        { "date 1970", Variant(Scalar(DateTime::FromUnixMs(1))), "0d 10a73ed5deb19d01" },
        { "guid", Variant(Scalar(SampleGuid())), "0e 912b9672 75fa e64a 8d28b404dc7daf63" },
        { "bytestring", Variant(Scalar(ByteString { "\x01\x02" })), "0f 02000000 0102" },
        { "empty bytestring is null", Variant(Scalar(ByteString {})), "0f ffffffff" },
        { "xml", Variant(Scalar(XmlElement { "<a/>" })), "10 04000000 3c612f3e" },
        { "nodeid two bytes", Variant(Scalar(NodeId(0, 72))), "11 00 48" },
        { "nodeid four bytes", Variant(Scalar(NodeId(5, 1025))), "11 01 05 0104" },
        { "nodeid numeric", Variant(Scalar(NodeId(0, 70000))), "11 02 0000 70110100" },
        { "nodeid numeric ns 300", Variant(Scalar(NodeId(300, 1))), "11 02 2c01 01000000" },
        { "nodeid string", Variant(Scalar(NodeId(1, std::string("Hot\xE6\xB0\xB4")))),
          "11 03 0100 06000000 486f74e6b0b4" },
        { "nodeid guid", Variant(Scalar(NodeId(2, SampleGuid()))), "11 04 0200 912b967275fae64a8d28b404dc7daf63" },
        { "nodeid bytes", Variant(Scalar(NodeId(1, ByteString { "ab" }))), "11 05 0100 02000000 6162" },
        { "expanded with uri and server", Variant(Scalar(ExpandedNodeId { NodeId(0, 5), "u", 2 })),
          "12 c0 05 01000000 75 02000000" },
        { "status", Variant(Scalar(StatusCode { status::kBadNodeIdUnknown })), "13 00003480" },
        { "qualified name", Variant(Scalar(QualifiedName { 1, "A" })), "14 0100 01000000 41" },
        { "localized text", Variant(Scalar(LocalizedText { "en", "Hi" })), "15 03 02000000 656e 02000000 4869" },
        { "localized text only", Variant(Scalar(LocalizedText { "", "Hi" })), "15 02 02000000 4869" },
        { "extension object", Variant(Scalar(object)), "16 01 00 7603 01 02000000 0102" },
        { "null extension object", Variant(Scalar(ExtensionObject {})), "16 00 00 00" },
        { "data value", Variant(Scalar(Boxed<DataValue>(dataValue))), "17 05 06 07000000 0807060504030201" },
        { "data value status", Variant(Scalar(Boxed<DataValue>(statusOnly))), "17 22 00003480 0a00" },
        { "variant in variant", Variant(Scalar(Boxed<Variant>(Variant(Scalar(true))))), "18 01 01" },
        { "diagnostic info", Variant(Scalar(diagnostics)), "19 75 01000000 02000000 01000000 78 00000a80 08 03000000" },
        { "int32 array", Variant::Array(BuiltinType::Int32, { std::int32_t { 1 }, std::int32_t { 2 } }),
          "86 02000000 01000000 02000000" },
        { "string array", Variant::Array(BuiltinType::String, { std::string("a"), std::string() }),
          "8c 02000000 01000000 61 00000000" },
        { "empty array", Variant::Array(BuiltinType::Double, {}), "8b 00000000" },
        { "matrix", matrix, "c3 06000000 010203040506 02000000 02000000 03000000" },
    };
}

} // namespace

TEST(Codec, BuiltInTypesEncodeToTheirKnownBytesAndReadBack)
{
    for (const Known& known : KnownEncodings()) {
        SCOPED_TRACE(known.name);
        const std::string expected = Hex(Unhex(known.hex));
        EXPECT_EQ(EncodeHex(known.value), expected);
        const std::vector<std::uint8_t> bytes = Unhex(known.hex);
        Decoder decoder(bytes);
        Variant decoded;
        Decode(decoder, decoded);
        ASSERT_TRUE(decoder.Ok()) << decoder.Reason();
        EXPECT_EQ(decoder.Remaining(), 0U);
        EXPECT_EQ(decoded, known.value);
    }
}

TEST(Codec, NullStringsAndArraysReadAsEmpty)
{
    const std::vector<std::uint8_t> bytes = Unhex("ffffffff ffffffff");
    Decoder decoder(bytes);
    std::string text = "x";
    std::vector<std::int32_t> numbers { 1 };
    Decode(decoder, text);
    Decode(decoder, numbers);
    EXPECT_TRUE(decoder.Ok());
    EXPECT_EQ(text, "");
    EXPECT_TRUE(numbers.empty());
}

TEST(Codec, MalformedInputIsRefusedWithItsReason)
{
    struct Case
    {
        const char* name;
        const char* hex; ///< a Variant
        std::uint32_t status;
    };
    std::string deep;
    for (int i = 0; i < 40; ++i) {
        deep += "18 ";
    }
    deep += "01 01";
    const Case cases[] = {
        { "nothing", "", status::kBadDecodingError },
        { "int32 cut short", "06 0102", status::kBadDecodingError },
        { "string longer than the message", "0c 05000000 4142", status::kBadDecodingError },
        { "string length -2", "0c feffffff", status::kBadDecodingError },
        { "string past the limit", "0c 00001000", status::kBadEncodingLimitsExceeded },
        { "array length -2", "86 feffffff", status::kBadDecodingError },
        { "array past the limit", "86 a0860100", status::kBadEncodingLimitsExceeded },
        { "array longer than the message", "86 10000000 01000000", status::kBadDecodingError },
        { "unknown type 26", "1a", status::kBadDecodingError },
        { "array of no type", "80 02000000", status::kBadDecodingError },
        { "unknown NodeId encoding", "11 06 0000", status::kBadDecodingError },
        { "NodeId with expanded flags", "11 80 05", status::kBadDecodingError },
        { "LocalizedText unknown mask bit", "15 04", status::kBadDecodingError },
        { "ExtensionObject encoding 3", "16 00 00 03", status::kBadDecodingError },
        { "scalar with dimensions", "46 01000000", status::kBadDecodingError },
        { "dimensions not matching", "c3 02000000 0102 01000000 03000000", status::kBadDecodingError },
        { "nested too deep", deep.c_str(), status::kBadEncodingLimitsExceeded },
    };
    DecodeLimits limits;
    limits.maxStringLength = 1000;
    limits.maxArrayLength = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> bytes = Unhex(c.hex);
        Decoder decoder(bytes, limits);
        Variant value;
        Decode(decoder, value);
        EXPECT_FALSE(decoder.Ok());
        EXPECT_EQ(decoder.Status(), c.status) << decoder.Reason();
        EXPECT_FALSE(decoder.Reason().empty());
    }
}

TEST(Codec, ExtensionObjectsCarryStructuresOfTheirOwnTypeOnly)
{
    const DataChangeFilter filter { DataChangeTrigger::StatusValueTimestamp, DeadbandType::Percent, 2.5 };
    const ExtensionObject object = ToExtensionObject(filter);
    EXPECT_EQ(object.typeId, NodeId(0, 724));
    EXPECT_EQ(Hex({ reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size() }),
              Hex(Unhex("02000000 02000000 0000000000000440")));
    const auto back = FromExtensionObject<DataChangeFilter>(object);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->deadbandType, DeadbandType::Percent);
    EXPECT_EQ(back->deadbandValue, 2.5);
    EXPECT_FALSE(FromExtensionObject<EventFilter>(object).has_value());
    ExtensionObject truncated = object;
    truncated.body.pop_back();
    EXPECT_FALSE(FromExtensionObject<DataChangeFilter>(truncated).has_value());
}
