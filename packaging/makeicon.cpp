// Writes the Windows icon (vtrlcfg.ico) from the SVG icon, so that the
// Windows build needs no SVG renderer: every size Explorer and the title
// bar ask for, each a PNG image, which Windows Vista and later read.
//     build/vtrl_makeicon packaging/vtrlcfg.svg packaging/vtrlcfg.ico
#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <vector>

namespace {

void put16(QByteArray& out, unsigned value)
{
    out.append(static_cast<char>(value & 0xFF));
    out.append(static_cast<char>((value >> 8) & 0xFF));
}

void put32(QByteArray& out, unsigned value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

}  // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: vtrl_makeicon ICON.svg ICON.ico\n");
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "vtrl_makeicon: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<int> sizes = {16, 24, 32, 48, 64, 128, 256};
    std::vector<QByteArray> images;
    for (int size : sizes) {
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
        painter.end();
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        images.push_back(png);
    }
    // ICONDIR, then one ICONDIRENTRY per image, then the images.
    QByteArray out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<unsigned>(sizes.size()));
    unsigned offset = 6 + 16 * static_cast<unsigned>(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto side = static_cast<char>(sizes[i] >= 256 ? 0 : sizes[i]);   // 0 means 256
        out.append(side);
        out.append(side);
        out.append('\0');   // no palette
        out.append('\0');
        put16(out, 1);      // colour planes
        put16(out, 32);     // bits per pixel
        put32(out, static_cast<unsigned>(images[i].size()));
        put32(out, offset);
        offset += static_cast<unsigned>(images[i].size());
    }
    for (const QByteArray& png : images)
        out.append(png);
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.flush()) {
        std::fprintf(stderr, "vtrl_makeicon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
