// On Windows the icon is the program's own icon resource (vtrlcfg.rc), the
// one Explorer shows: no SVG or image plug-in is needed to draw it.

#include "pages/icon.h"

#include <QImage>
#include <QPixmap>

#include <windows.h>

namespace vtrl {

QIcon WizardIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const auto handle = static_cast<HICON>(
            LoadImageW(GetModuleHandleW(nullptr), L"IDI_ICON1", IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        if (!handle)
            continue;
        const QImage image = QImage::fromHICON(handle);
        DestroyIcon(handle);
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace vtrl
