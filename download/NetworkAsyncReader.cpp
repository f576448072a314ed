#include "download/NetworkAsyncReader.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>

namespace download {

#ifndef KELVANE_MIN_TRANSFER_RATE
#error "KELVANE_MIN_TRANSFER_RATE is the rate floor of a transfer in bytes a second; the build sets it"
#endif

RateWatch::Policy NetworkAsyncReader::DefaultRateFloor() {
    RateWatch::Policy policy;
    policy.floor = KELVANE_MIN_TRANSFER_RATE;
    return policy;
}

NetworkAsyncReader::NetworkAsyncReader(QObject* parent, std::chrono::milliseconds stallLimit)
    : AsyncReader(parent), mManager(new QNetworkAccessManager) {
    // Behind a corporate proxy the updater must go where the browser goes.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    mSettings.stallLimit = stallLimit;
    mSettings.rate = DefaultRateFloor();
}

NetworkAsyncReader::~NetworkAsyncReader() {
    // The jobs still running go first, each as a kill leaves it; the manager
    // goes later rather than now: the reader may be destroyed from a handler
    // that one of its replies is still emitting.
    for (Transfer* job : findChildren<Transfer*>(QString(), Qt::FindDirectChildrenOnly)) {
        delete job;
    }
    mManager->deleteLater();
}

Transfer* NetworkAsyncReader::transfer(const QString& target, const QString& propertyName, qint64 maxBytes,
                                       const AsyncReadOptions& options) {
    return new NetworkTransfer(mManager, Transfer::Request{target, propertyName, maxBytes, options}, mSettings, this);
}

} // namespace download
