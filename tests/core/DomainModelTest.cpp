#include "core/DomainModel.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace kivo;

TEST(RawValues, ConvertOnlyFromTheExactText)
{
    EXPECT_EQ(fromRawValue<BlendMode>(u"Soft Light"), BlendMode::softLight);
    EXPECT_EQ(fromRawValue<BlendMode>(u"soft light"), std::nullopt);
    EXPECT_EQ(fromRawValue<ExportFormat>(u"BMP"), std::nullopt);
    EXPECT_EQ(fromRawValue<ProcessingQuality>(u"High Quality"), ProcessingQuality::highQuality);
    EXPECT_EQ(rawValue(MemoryUsage::aggressive), u"Aggressive");
    EXPECT_EQ(rawValue(TriggerActivityStatus::failed), u"Failed");
    EXPECT_EQ(fileExtension(ExportFormat::jpeg), u"jpg");
    EXPECT_EQ(fileExtension(ExportFormat::tiff), u"tiff");

    const auto formats = allCases<ExportFormat>();
    ASSERT_EQ(formats.size(), 5u);
    EXPECT_EQ(formats.front(), ExportFormat::png);
    EXPECT_EQ(formats.back(), ExportFormat::heic);
}

TEST(EditorSession, IdentityIsTheIdAlone)
{
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::red);
    const EditorSession first = EditorSession::fromImage(QStringLiteral("a.png"), image);
    const EditorSession second = EditorSession::fromImage(QStringLiteral("a.png"), image);
    EXPECT_NE(first, second);

    EditorSession renamed = first;
    renamed.name = QStringLiteral("renamed");
    EXPECT_EQ(renamed, first);
    EXPECT_EQ(qHash(renamed), qHash(first));
}

TEST(EditorSession, FromImageHoldsOneSelectedBaseLayer)
{
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    const EditorSession session = EditorSession::fromImage(QStringLiteral("photo.jpg"), image);

    ASSERT_EQ(session.layers.size(), 1);
    const ImageLayer& layer = session.layers.front();
    EXPECT_TRUE(layer.isBaseLayer);
    EXPECT_EQ(layer.name, u"photo.jpg");
    EXPECT_EQ(layer.opacity, 1.0);
    EXPECT_EQ(layer.blendMode, BlendMode::normal);
    EXPECT_TRUE(layer.isVisible);
    EXPECT_FALSE(layer.isLocked);
    ASSERT_TRUE(session.selectedLayer.has_value());
    EXPECT_EQ(session.selectedLayer->id, layer.id);
    EXPECT_EQ(session.currentImage, image);
    EXPECT_EQ(session.currentHistoryIndex, -1);
    EXPECT_TRUE(session.documentHistory.isEmpty());
    EXPECT_EQ(session.canvasBackground, CanvasBackground::transparent);
    EXPECT_EQ(session.customBackgroundColor, QColor(Qt::white));
    EXPECT_EQ(session.zoomLevel, 1.0);
}

TEST(AccountInfo, EncodesOnlyThePresentFields)
{
    AccountInfo info;
    info.email = QStringLiteral("a@b.example");
    info.credits = 12;
    const QJsonObject json = info.toJson();
    EXPECT_EQ(json.keys(), (QStringList{QStringLiteral("credits"), QStringLiteral("email")}));
    EXPECT_EQ(json.value(QStringLiteral("credits")).toInteger(), 12);
}

TEST(AccountInfo, DecodesMissingAndNullAsAbsentAndIgnoresUnknownKeys)
{
    const auto empty = AccountInfo::fromJson(QByteArray("{}"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty, AccountInfo{});

    const auto partial = AccountInfo::fromJson(
        QByteArray(R"({"id":7,"name":null,"apiKey":"k","latestVersion":"2.0","extra":[1,2]})"));
    ASSERT_TRUE(partial.has_value());
    EXPECT_EQ(partial->id, 7);
    EXPECT_FALSE(partial->name.has_value());
    EXPECT_EQ(partial->apiKey, u"k");
    EXPECT_EQ(partial->latestVersion, u"2.0");

    EXPECT_FALSE(AccountInfo::fromJson(QByteArray(R"({"credits":"many"})")).has_value());
    EXPECT_FALSE(AccountInfo::fromJson(QByteArray("[1]")).has_value());
    EXPECT_FALSE(AccountInfo::fromJson(QByteArray("not json")).has_value());
}

TEST(AccountInfo, RoundTripsEveryField)
{
    AccountInfo info{1, QStringLiteral("Ann"), QStringLiteral("ann@x.example"), QStringLiteral("https://x/a.png"),
                     QStringLiteral("key"), 40, QStringLiteral("1.2.3")};
    const auto decoded = AccountInfo::fromJson(QJsonDocument(info.toJson()).toJson());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, info);
}
