// Renders the Markdown user manual to PDF, so the build needs no document toolchain.
// Usage: manual2pdf MANUAL.md OUTPUT.pdf [IMAGE_FOLDER...]
// Images named in the manual are looked up relative to each IMAGE_FOLDER in turn, then to the
// manual's folder; a missing image leaves its place empty.
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>
#include <algorithm>
#include <cstdio>

namespace {

// Resolves image names against a list of folders before the document's own lookup.
class ManualDocument : public QTextDocument {
public:
    explicit ManualDocument(QStringList folders) : m_folders(std::move(folders)) {}

    /// Scales every image to print size, and down to the page width where it is wider.
    void FitImages(qreal pageWidth) {
        for (QTextBlock block = begin(); block != end(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment fragment = it.fragment();
                if (!fragment.charFormat().isImageFormat()) {
                    continue;
                }
                QTextImageFormat format = fragment.charFormat().toImageFormat();
                const QImage image = QImage::fromData(
                    loadResource(QTextDocument::ImageResource, QUrl(format.name())).toByteArray());
                if (image.isNull()) {
                    continue;
                }
                // Screen pixels print too large at one point each.
                const qreal width = std::min(image.width() * kPointsPerPixel, pageWidth);
                format.setWidth(width);
                format.setHeight(image.height() * width / image.width());
                QTextCursor cursor(this);
                cursor.setPosition(fragment.position());
                cursor.setPosition(fragment.position() + fragment.length(),
                                   QTextCursor::KeepAnchor);
                cursor.setCharFormat(format);
            }
        }
    }

protected:
    QVariant loadResource(int type, const QUrl& name) override {
        if (type == QTextDocument::ImageResource && name.isRelative()) {
            for (const QString& folder : m_folders) {
                QFile file(folder + "/" + name.path());
                if (file.open(QIODevice::ReadOnly)) {
                    return file.readAll();
                }
            }
        }
        return QTextDocument::loadResource(type, name);
    }

private:
    static constexpr qreal kPointsPerPixel = 0.6;
    QStringList m_folders;
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: manual2pdf MANUAL.md OUTPUT.pdf [IMAGE_FOLDER...]\n");
        return 2;
    }
    QFile in(args[1]);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "manual2pdf: cannot read %s\n", qPrintable(args[1]));
        return 1;
    }
    // Freshly taken pictures (the extra folders) win over the ones kept beside the manual.
    QStringList folders = args.mid(3);
    folders += QFileInfo(args[1]).absolutePath();
    ManualDocument doc(folders);
    doc.setMarkdown(QString::fromUtf8(in.readAll()));

    // Write beside the target and rename, so a failed run never leaves half a PDF.
    const QString partial = args[2] + ".part";
    {
        QPdfWriter writer(partial);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
        writer.setTitle(QStringLiteral("ZB446x NVDS Configurator Manual"));
        writer.setResolution(300);
        // Lay the text out at the page width in points so fonts come out at their size.
        QPainter painter(&writer);
        const double scale = writer.resolution() / 72.0;
        const QRectF page(0, 0, writer.width() / scale, writer.height() / scale);
        doc.setDefaultFont(QFont(QStringLiteral("Sans Serif"), 10));
        doc.setPageSize(page.size());
        doc.FitImages(page.width() - 2 * doc.documentMargin());
        painter.scale(scale, scale);
        for (int i = 0; i < doc.pageCount(); ++i) {
            if (i > 0) {
                writer.newPage();
            }
            painter.save();
            painter.translate(0, -page.height() * i);
            doc.drawContents(&painter, QRectF(0, page.height() * i, page.width(), page.height()));
            painter.restore();
        }
        if (!painter.end()) {
            std::fprintf(stderr, "manual2pdf: cannot write %s\n", qPrintable(partial));
            QFile::remove(partial);
            return 1;
        }
    }
    QFile::remove(args[2]);
    if (!QFile::rename(partial, args[2])) {
        std::fprintf(stderr, "manual2pdf: cannot write %s\n", qPrintable(args[2]));
        return 1;
    }
    return 0;
}
