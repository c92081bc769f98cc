#include "emulation/metabase/PropertyRecord.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using emulation::metabase::PropertyRecord;
using emulation::metabase::StoredProperty;
using platform::MetaValue;

namespace {

TEST(PropertyRecord, EveryKindOfValueSurvivesTheRecord) {
    const std::vector<StoredProperty> props = {
        {u"ServerComment"_s, MetaValue(u"默认网站"_s)},
        {u"ServerState"_s, MetaValue(4u)},
        {u"AllowAnonymous"_s, MetaValue(false)},
        {u"ServerBindings"_s, MetaValue(QStringList{u":80:a.com"_s, u""_s, u"1.2.3.4:81:"_s})},
        {u"SecureBindings"_s, MetaValue(QStringList{})},
        {u"HttpErrors"_s, MetaValue(QStringList{u""_s})},
        {u"MimeMap"_s, MetaValue(platform::MimeMapList{{u".mp4"_s, u"video/mp4"_s}, {u".a,b"_s, u"x"_s}})},
        {u"Empty"_s, MetaValue(QString())},
    };
    const auto back = PropertyRecord::decode(PropertyRecord::encode(props));
    ASSERT_EQ(back.size(), props.size());
    for (size_t i = 0; i < props.size(); ++i) {
        EXPECT_EQ(back[i].name, props[i].name);
        EXPECT_EQ(back[i].value.kind(), props[i].value.kind()) << props[i].name.toStdString();
        EXPECT_EQ(back[i].value.toStringList(), props[i].value.toStringList()) << props[i].name.toStdString();
    }
    EXPECT_NE(PropertyRecord::encode({{u"L"_s, MetaValue(QStringList{})}}),
              PropertyRecord::encode({{u"L"_s, MetaValue(QStringList{u""_s})}}))
        << "an empty list and a list of one empty string differ";
}

TEST(PropertyRecord, SeparatorCharactersInsideValuesSurvive) {
    const QString odd = QString::fromUtf16(u"a\u001Db\u001Ec\u001Fd\u001Be\\");
    const std::vector<StoredProperty> props = {{u"ServerComment"_s, MetaValue(odd)},
                                               {u"ServerBindings"_s, MetaValue(QStringList{odd, u"x"_s})},
                                               {u"Path"_s, MetaValue(u"D:\\x"_s)}};
    const QString record = PropertyRecord::encode(props);
    const auto back = PropertyRecord::decode(record);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].value.toString(), odd);
    EXPECT_EQ(back[1].value.toStringList(), (QStringList{odd, u"x"_s}));
    EXPECT_EQ(PropertyRecord::find(record, u"path")->toString(), u"D:\\x"_s);
}

TEST(PropertyRecord, FindAndSetMatchNamesWithoutRegardToCase) {
    std::vector<StoredProperty> props = {{u"AppPoolId"_s, MetaValue(u"a"_s)},
                                         {u"Path"_s, MetaValue(u"D:\\x"_s)}};
    const QString record = PropertyRecord::encode(props);
    EXPECT_EQ(PropertyRecord::find(record, u"apppoolid")->toString(), u"a"_s);
    EXPECT_FALSE(PropertyRecord::find(record, u"AppPool").has_value()) << "no prefix match";
    PropertyRecord::set(props, u"appPoolID"_s, MetaValue(u"b"_s));
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[0].value.toString(), u"b"_s);
    PropertyRecord::set(props, u"PATH"_s, std::nullopt);
    PropertyRecord::set(props, u"New"_s, MetaValue(1u));
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[1].name, u"New"_s);
}

TEST(PropertyRecord, ForEachVisitsEveryPropertyInOrderUntilTold) {
    const QString odd = QString::fromUtf16(u"a\u001Db\u001Ec");
    const QString record =
        PropertyRecord::encode({{u"ServerComment"_s, MetaValue(odd)},
                                {u"ServerState"_s, MetaValue(2u)},
                                {u"ServerBindings"_s, MetaValue(QStringList{u":80:a"_s, odd})},
                                {u"Path"_s, MetaValue(u"D:\\x"_s)}});
    QStringList names;
    std::vector<MetaValue> values;
    PropertyRecord::forEach(record, [&](QStringView name, int type, QStringView text) {
        names << name.toString();
        values.push_back(PropertyRecord::decodeValue(type, text));
        return false;
    });
    EXPECT_EQ(names, (QStringList{u"ServerComment"_s, u"ServerState"_s, u"ServerBindings"_s, u"Path"_s}));
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].toString(), odd) << "the separators inside a value stay inside it";
    EXPECT_EQ(values[1].toNumber(), 2u);
    EXPECT_EQ(values[2].toStringList(), (QStringList{u":80:a"_s, odd}));
    EXPECT_EQ(values[3].toString(), u"D:\\x"_s);
    int visited = 0;
    PropertyRecord::forEach(record, [&](QStringView name, int, QStringView) {
        ++visited;
        return name == u"ServerState";
    });
    EXPECT_EQ(visited, 2) << "a visit that returns true ends the walk";
}

} // namespace
