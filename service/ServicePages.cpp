#include "ServicePages.h"

#include "core/PngEncoder.h"

#include <QColor>
#include <QImage>
#include <QPainter>

namespace kivo::service {

namespace {

std::string page(const QString& title, const QString& bodyHtml)
{
    const QString html = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                                        "<title>%1</title>"
                                        "<style>body{font-family:sans-serif;max-width:42em;margin:2em auto;"
                                        "padding:0 1em;line-height:1.5}code{background:#eee;padding:0 .2em}"
                                        "th{text-align:left;padding-right:1em}</style></head>"
                                        "<body><h1>%1</h1>\n%2\n</body></html>\n")
                             .arg(title.toHtmlEscaped(), bodyHtml);
    return html.toStdString();
}

} // namespace

std::string homePage(const QString& baseURL)
{
    const QString base = baseURL.toHtmlEscaped();
    return page(QStringLiteral("KIVOPRO service (stand-in)"),
                QStringLiteral("<p>This server stands in for the KIVOPRO removal service and its website. "
                               "Point the application's account page (\"Server\") at <code>%1</code> and sign in "
                               "with an account of this server.</p>"
                               "<ul><li><code>POST /v1.0.1/remove_background</code>: background removal</li>"
                               "<li><code>POST /api/app/login</code>: sign-in</li>"
                               "<li><code>GET /api/transactions</code>: the account's transactions</li>"
                               "<li><a href=\"/profile\">Profile</a></li></ul>")
                    .arg(base));
}

std::string profilePage(const QString& baseURL)
{
    return page(QStringLiteral("Profile"),
                QStringLiteral("<p>Accounts of this stand-in service are kept in its accounts file. The "
                               "application shows the signed-in account's credits and API key on its account "
                               "page, and its transactions on the Transactions tab.</p>"
                               "<p><a href=\"/profile/transactions\">Transactions</a> · "
                               "<a href=\"%1/\">Home</a></p>")
                    .arg(baseURL.toHtmlEscaped()));
}

std::string profileTransactionsPage()
{
    return page(QStringLiteral("Transactions"),
                QStringLiteral("<p>Each background removal through this service takes one credit and is listed "
                               "as a transaction. The application's Transactions tab lists them page by page; "
                               "each one has its own page here, at an address that only the account's own list shows.</p>"
                               "<p><a href=\"/profile\">Profile</a></p>"));
}

std::string transactionPage(const std::optional<ServiceTransaction>& transaction)
{
    if (!transaction) {
        return page(QStringLiteral("Transaction not found"),
                    QStringLiteral("<p>There is no transaction at this address.</p>"
                                   "<p><a href=\"/profile/transactions\">Transactions</a></p>"));
    }
    const auto row = [](const QString& label, const QString& value) {
        return QStringLiteral("<tr><th>%1</th><td>%2</td></tr>").arg(label.toHtmlEscaped(), value.toHtmlEscaped());
    };
    QString rows;
    rows += row(QStringLiteral("Date"), isoTimestamp(transaction->createdAt));
    rows += row(QStringLiteral("Type"), transaction->transactionType);
    rows += row(QStringLiteral("Credits"), QString::number(transaction->creditChange));
    rows += row(QStringLiteral("Description"), transaction->description);
    if (!transaction->route.isEmpty())
        rows += row(QStringLiteral("Route"), transaction->route);
    if (!transaction->siteURL.isEmpty())
        rows += row(QStringLiteral("Site"), transaction->siteURL);
    QString images;
    for (const QString& path : {transaction->originImage, transaction->outputImage}) {
        if (!path.isEmpty())
            images += QStringLiteral("<img src=\"%1\" alt=\"\" width=\"160\"> ").arg(path.toHtmlEscaped());
    }
    return page(QStringLiteral("Transaction %1").arg(transaction->publicId),
                QStringLiteral("<table>%1</table><p>%2</p><p><a href=\"/profile/transactions\">Transactions</a></p>")
                    .arg(rows, images));
}

QByteArray avatarPNG(qint64 accountId)
{
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromHsv(int((accountId * 67) % 360), 140, 210));
    painter.drawEllipse(QRectF(4, 4, 120, 120));
    painter.setBrush(QColor(255, 255, 255, 220));
    painter.drawEllipse(QRectF(44, 26, 40, 40));
    painter.drawChord(QRectF(24, 72, 80, 80), 0, 180 * 16);
    painter.end();
    return encodePNG(image).value_or(QByteArray());
}

} // namespace kivo::service
