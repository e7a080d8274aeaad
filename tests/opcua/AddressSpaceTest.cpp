#include "OpcUaSpace.h"

#include "opcua/Attributes.h"
#include "opcua/Browse.h"
#include "opcua/Methods.h"
#include "opcua/StandardNodes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavrel::opcua {
namespace {

using testing::RecordingBackend;
using Kind = common::Refusal::Kind;

NodeId S(const std::string& text)
{
    return NodeId(kTavrelNamespace, text);
}
NodeId I(std::uint32_t number)
{
    return NodeId(0, number);
}

class AddressSpaceTest : public ::testing::Test
{
protected:
    AddressSpaceTest()
        : space(testing::TestConfig(), 1000)
    {
        space.SetProject(testing::TestPlcs(), testing::TestItems());
    }

    /// The browse names of a node's hierarchical children.
    std::vector<std::string> Children(const NodeId& node)
    {
        BrowseRequest request;
        request.nodesToBrowse.push_back({ node, BrowseDirection::Forward, I(standard::id::HierarchicalReferences) });
        BrowseResponse response = Browse(request, space, continuations);
        std::vector<std::string> names;
        for (const ReferenceDescription& reference : response.results.at(0).references) {
            names.push_back(reference.browseName.name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::uint32_t ReadStatus(const DataValue& value) { return value.status ? value.status->code : status::kGood; }

    AddressSpace space;
    BrowseContinuations continuations { 10 };
    RecordingBackend backend;
};

TEST_F(AddressSpaceTest, BrowsingFromObjectsReachesEveryItem)
{
    EXPECT_EQ(Children(I(standard::id::ObjectsFolder)), (std::vector<std::string> { "Server", "Tavrel" }));
    EXPECT_EQ(Children(S("Tavrel")),
              (std::vector<std::string> { "Line_1", "Line_2", "PassCount", "PassMs", "RunStop", "Running" }));
    EXPECT_EQ(Children(S("plc/Line_1")),
              (std::vector<std::string> { "Answered", "Connected", "Errors", "LastError", "PassMs", "Run", "Stop",
                                          "lblDDE(1)", "lblDDE(2)" }));
    EXPECT_EQ(Children(S("lblDDE(2)")), (std::vector<std::string> { "EngineeringUnits" }));
    EXPECT_EQ(Children(S("lblDDE(1)")), (std::vector<std::string> {}));
}

TEST_F(AddressSpaceTest, BrowsePathsLeadToTheirNodes)
{
    struct Case
    {
        NodeId start;
        std::vector<QualifiedName> path;
        std::uint32_t status;
        NodeId target;
    };
    const Case cases[] = {
        { I(84), { { 0, "Objects" }, { 0, "Server" }, { 0, "ServerStatus" }, { 0, "CurrentTime" } }, 0, I(2258) },
        { I(85),
          { { 1, "Tavrel" }, { 1, "Line_1" }, { 1, "lblDDE(2)" }, { 0, "EngineeringUnits" } },
          0,
          S("lblDDE(2)/EngineeringUnits") },
        { I(85), { { 1, "Tavrel" }, { 1, "Line_9" } }, status::kBadNoMatch, {} },
        { I(85), { { 0, "Tavrel" } }, status::kBadNoMatch, {} }, // the wrong namespace
        { I(85), { { 1, "" } }, status::kBadBrowseNameInvalid, {} },
        { S("plc/Line_9"), { { 1, "Run" } }, status::kBadNodeIdUnknown, {} },
    };
    for (const Case& c : cases) {
        TranslateBrowsePathsToNodeIdsRequest request;
        BrowsePath& path = request.browsePaths.emplace_back();
        path.startingNode = c.start;
        for (const QualifiedName& name : c.path) {
            path.relativePath.elements.push_back({ I(standard::id::HierarchicalReferences), false, true, name });
        }
        const auto response = TranslateBrowsePaths(request, space);
        const BrowsePathResult& result = response.results.at(0);
        SCOPED_TRACE(c.path.back().name);
        EXPECT_EQ(result.statusCode.code, c.status);
        if (c.status == status::kGood) {
            ASSERT_EQ(result.targets.size(), 1U);
            EXPECT_EQ(result.targets[0].targetId.nodeId, c.target);
        }
    }
}

TEST_F(AddressSpaceTest, ReadAnswersEachAttributeOfTheNodesClass)
{
    const ItemSample samples[]
        = { { 1, "42", 42.0, 5000, ValueQuality::Good }, { 2, "1.5", 1.5, 5000, ValueQuality::Stale } };
    space.SetValues(samples);
    using A = AttributeId;
    struct Case
    {
        NodeId node;
        AttributeId attribute;
        std::uint32_t status;
        std::optional<Variant> value;
    };
    const Case cases[] = {
        { S("lblDDE(1)"), A::Value, status::kGood, Variant(Scalar(std::int16_t { 42 })) },
        { S("lblDDE(2)"), A::Value, status::kUncertainLastUsableValue, Variant(Scalar(1.5F)) },
        { S("lblDDE(1)"), A::DataType, status::kGood, Variant(Scalar(I(standard::id::Int16))) },
        { S("lblDDE(3)"), A::DataType, status::kGood, Variant(Scalar(I(standard::id::Boolean))) },
        { S("lblDDE(1)"), A::AccessLevel, status::kGood, Variant(Scalar(std::uint8_t { 3 })) },
        { S("lblDDE(2)"), A::AccessLevel, status::kGood, Variant(Scalar(std::uint8_t { 1 })) },
        { S("lblDDE(4)"), A::DisplayName, status::kGood, Variant(Scalar(LocalizedText { "", "Input register 3000" })) },
        { S("lblDDE(4)"), A::BrowseName, status::kGood, Variant(Scalar(QualifiedName { 1, "lblDDE(4)" })) },
        { S("Tavrel"), A::Value, status::kBadAttributeIdInvalid, std::nullopt },
        { S("Tavrel/RunStop"), A::Executable, status::kGood, Variant(Scalar(true)) },
        { S("lblDDE(99)"), A::Value, status::kBadNodeIdUnknown, std::nullopt },
        { I(45), A::InverseName, status::kGood, Variant(Scalar(LocalizedText { "", "SubtypeOf" })) },
        { I(standard::id::ServerStatusState), A::Value, status::kGood, Variant(Scalar(std::int32_t { 0 })) },
        { I(standard::id::NamespaceArray), A::Value, status::kGood,
          Variant::Array(BuiltinType::String,
                         { std::string("http://opcfoundation.org/UA/"), std::string("urn:test:Tavrel") }) },
        { I(standard::id::MaxNodesPerRead), A::Value, status::kGood, Variant(Scalar(std::uint32_t { 10000 })) },
    };
    ReadRequest request;
    for (const Case& c : cases) {
        request.nodesToRead.push_back({ c.node, static_cast<std::uint32_t>(c.attribute), {}, {} });
    }
    const ReadResponse response = Read(request, space, common::Role::Operator, 7000);
    ASSERT_EQ(response.results.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].node.ToString());
        EXPECT_EQ(ReadStatus(response.results[i]), cases[i].status);
        if (cases[i].value) {
            EXPECT_EQ(response.results[i].value, cases[i].value);
        }
    }
    EXPECT_EQ(response.results[0].sourceTimestamp, DateTime::FromUnixMs(5000));
    EXPECT_EQ(response.results[0].serverTimestamp, DateTime::FromUnixMs(7000));
}

TEST_F(AddressSpaceTest, AReaderSeesItMayNeitherWriteNorCall)
{
    using A = AttributeId;
    const struct
    {
        const char* node;
        AttributeId attribute;
        Scalar reader, operatorRole;
    } cases[] = {
        { "lblDDE(1)", A::UserAccessLevel, std::uint8_t { 1 }, std::uint8_t { 3 } },
        { "lblDDE(1)", A::AccessLevel, std::uint8_t { 3 }, std::uint8_t { 3 } },
        { "lblDDE(2)", A::UserAccessLevel, std::uint8_t { 1 }, std::uint8_t { 1 } },
        { "Tavrel/RunStop", A::UserExecutable, false, true },
        { "Tavrel/RunStop", A::Executable, true, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.node);
        const Node* node = space.Find(S(c.node));
        ASSERT_NE(node, nullptr);
        const auto attribute = static_cast<std::uint32_t>(c.attribute);
        EXPECT_EQ(ReadAttribute(space, *node, attribute, common::Role::Reader, 0).value, Variant(c.reader));
        EXPECT_EQ(ReadAttribute(space, *node, attribute, common::Role::Operator, 0).value, Variant(c.operatorRole));
    }
}

TEST_F(AddressSpaceTest, WritesReachTheBackendAndRefusalsMapToStatusCodes)
{
    struct Case
    {
        NodeId node;
        Scalar value;
        std::optional<Kind> refusal;
        std::uint32_t status;
        std::string written; ///< what the backend saw, empty when nothing reached it
    };
    const Case cases[] = {
        { S("lblDDE(1)"), std::int16_t { -5 }, std::nullopt, status::kGood, "1=-5" },
        { S("lblDDE(3)"), true, std::nullopt, status::kGood, "3=1" },
        { S("lblDDE(1)"), std::int16_t { 5 }, Kind::OutOfRange, status::kBadOutOfRange, "1=5" },
        { S("lblDDE(1)"), std::int16_t { 5 }, Kind::NotAllowed, status::kBadUserAccessDenied, "1=5" },
        { S("lblDDE(1)"), std::int16_t { 5 }, Kind::BadValue, status::kBadTypeMismatch, "1=5" },
        { S("lblDDE(1)"), std::int16_t { 5 }, Kind::NotWritable, status::kBadNotWritable, "1=5" },
        { S("lblDDE(1)"), std::int16_t { 5 }, Kind::UnknownItem, status::kBadNodeIdUnknown, "1=5" },
        { S("lblDDE(1)"), 5.0, std::nullopt, status::kBadTypeMismatch, "" },
        { S("lblDDE(2)"), 1.5F, std::nullopt, status::kBadNotWritable, "" },
        { S("Tavrel/Running"), true, std::nullopt, status::kBadNotWritable, "" },
        { S("lblDDE(99)"), std::int16_t { 5 }, std::nullopt, status::kBadNodeIdUnknown, "" },
    };
    for (const Case& c : cases) {
        backend.refusal = c.refusal ? std::optional(common::Refusal { *c.refusal, "no" }) : std::nullopt;
        backend.writes.clear();
        WriteRequest request;
        WriteValue& value = request.nodesToWrite.emplace_back();
        value.nodeId = c.node;
        value.value.value = Variant(c.value);
        const WriteResponse response = Write(request, space, backend, { "peer", "" });
        SCOPED_TRACE(c.node.ToString() + " " + c.written);
        EXPECT_EQ(response.results.at(0).code, c.status);
        EXPECT_EQ(backend.writes, c.written.empty() ? std::vector<std::string> {} : std::vector { c.written });
    }
}

TEST_F(AddressSpaceTest, MethodsCarryOutTheirCommands)
{
    struct Case
    {
        NodeId object;
        NodeId method;
        std::size_t arguments;
        std::optional<Kind> refusal;
        std::uint32_t status;
        std::string command;
    };
    const Case cases[] = {
        { S("Tavrel"), S("Tavrel/RunStop"), 0, std::nullopt, status::kGood, "Tavrel_RUN/STOP" },
        { S("plc/Line_1"), S("plc/Line_1/Stop"), 0, std::nullopt, status::kGood, "Line_1_STOP" },
        { S("plc/Line_2"), S("plc/Line_2/Run"), 0, Kind::NotAllowed, status::kBadUserAccessDenied, "Line_2_RUN" },
        { S("plc/Line_2"), S("plc/Line_1/Run"), 0, std::nullopt, status::kBadMethodInvalid, "" },
        { S("Tavrel"), S("Tavrel/RunStop"), 1, std::nullopt, status::kBadTooManyArguments, "" },
        { S("plc/Line_9"), S("plc/Line_9/Run"), 0, std::nullopt, status::kBadNodeIdUnknown, "" },
    };
    for (const Case& c : cases) {
        backend.refusal = c.refusal ? std::optional(common::Refusal { *c.refusal, "no" }) : std::nullopt;
        backend.commands.clear();
        CallRequest request;
        request.methodsToCall.push_back({ c.object, c.method, std::vector<Variant>(c.arguments) });
        const CallResponse response = Call(request, space, backend, { "peer", "" });
        SCOPED_TRACE(c.method.ToString());
        EXPECT_EQ(response.results.at(0).statusCode.code, c.status);
        EXPECT_EQ(backend.commands, c.command.empty() ? std::vector<std::string> {} : std::vector { c.command });
    }
}

TEST_F(AddressSpaceTest, ProjectChangesAreListedAndFollowed)
{
    const ItemSample sample { 1, "7", 7.0, 5000, ValueQuality::Good };
    space.SetValues({ &sample, 1 });
    std::vector<ItemNode> items = testing::TestItems();
    items[0].displayName = "Pump speed"; // renamed in place
    items.erase(items.begin() + 1); // item 2 removed
    items[1].plc = items[2].plc = "Line_3"; // PLC Line_2 renamed: its items move
    items.push_back({ 5, "Line_1", "MI 5", "Read", ValueKind::Int32, false, "" });
    const auto changes = space.SetProject({ testing::Plc("Line_1"), testing::Plc("Line_3") }, items);

    using M = ModelChangeStructureDataType;
    const std::uint8_t moved = M::kReferenceAdded | M::kReferenceDeleted;
    const std::vector<std::pair<NodeId, std::uint8_t>> expected = {
        { S("plc/Line_2"), M::kNodeDeleted }, { S("plc/Line_3"), M::kNodeAdded }, { S("lblDDE(1)"), moved },
        { S("lblDDE(2)"), M::kNodeDeleted },  { S("lblDDE(3)"), moved },          { S("lblDDE(4)"), moved },
        { S("lblDDE(5)"), M::kNodeAdded },
    };
    std::vector<std::pair<NodeId, std::uint8_t>> actual;
    for (const M& change : changes) {
        actual.emplace_back(change.affected, change.verb);
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(space.Find(S("plc/Line_2")), nullptr);
    EXPECT_EQ(space.Find(S("lblDDE(2)/EngineeringUnits")), nullptr);
    EXPECT_EQ(Children(S("plc/Line_3")).back(), "lblDDE(4)");
    EXPECT_EQ(space.Find(S("lblDDE(1)"))->displayName.text, "Pump speed");
    EXPECT_EQ(space.ItemValue(1)->value, Variant(Scalar(std::int16_t { 7 }))); // kept through the rename
    EXPECT_TRUE(space.SetProject({ testing::Plc("Line_1"), testing::Plc("Line_3") }, items).empty());
}

TEST_F(AddressSpaceTest, BrowseHandsOutLongAnswersInPartsUpToTheContinuationPointLimit)
{
    BrowseContinuations one { 1 };
    BrowseRequest request;
    request.requestedMaxReferencesPerNode = 4;
    request.nodesToBrowse.push_back({ S("plc/Line_1"), BrowseDirection::Forward, I(standard::id::HasComponent) });
    request.nodesToBrowse.push_back({ S("plc/Line_2"), BrowseDirection::Forward, I(standard::id::HasComponent) });
    const BrowseResponse first = Browse(request, space, one);
    EXPECT_EQ(first.results[0].references.size(), 4U);
    EXPECT_EQ(first.results[1].statusCode.code, status::kBadNoContinuationPoints);

    std::size_t total = first.results[0].references.size();
    ByteString point = first.results[0].continuationPoint;
    while (!point.bytes.empty()) {
        BrowseNextRequest next;
        next.continuationPoints = { point };
        const BrowseNextResponse response = BrowseNext(next, one);
        ASSERT_EQ(response.results.at(0).statusCode.code, status::kGood);
        total += response.results[0].references.size();
        point = response.results[0].continuationPoint;
    }
    EXPECT_EQ(total, 9U); // five diagnostics, two methods, two items
    EXPECT_EQ(one.Count(), 0U);

    const BrowseResponse again = Browse(request, space, one);
    BrowseNextRequest release;
    release.releaseContinuationPoints = true;
    release.continuationPoints = { again.results[0].continuationPoint };
    EXPECT_EQ(BrowseNext(release, one).results.at(0).statusCode.code, status::kGood);
    release.releaseContinuationPoints = false;
    EXPECT_EQ(BrowseNext(release, one).results.at(0).statusCode.code, status::kBadContinuationPointInvalid);
}

} // namespace
} // namespace tavrel::opcua
