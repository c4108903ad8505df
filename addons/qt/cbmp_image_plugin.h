// Qt image-format plugin for CBMP images: QImageReader and QImageWriter (and with them Gwenview,
// Dolphin's previews and any Qt program) read and write `.cbmp` files.
#ifndef CBMP_ADDONS_QT_CBMP_IMAGE_PLUGIN_H
#define CBMP_ADDONS_QT_CBMP_IMAGE_PLUGIN_H

#include <QImageIOPlugin>

class CbmpImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "cbmp.json")

  public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override;
};

#endif
