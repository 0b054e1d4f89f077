// Names of the status codes, for tools and test output.
#include "QxLStatus.h"

const char* QxLStatusName(QxStatus status) {
    switch (status) {
#define QXL_STATUS_NAME(name) \
    case name:                \
        return #name;
        QXL_STATUS_NAME(kStatusOK)
        QXL_STATUS_NAME(kStatusUnknown)
        QXL_STATUS_NAME(kStatusUnknownState)
        QXL_STATUS_NAME(kStatusBadPath)
        QXL_STATUS_NAME(kStatusBadParameter)
        QXL_STATUS_NAME(kStatusWrongState)
        QXL_STATUS_NAME(kStatusOutOfRange)
        QXL_STATUS_NAME(kStatusAbortedByPeer)
        QXL_STATUS_NAME(kStatusBadSignature)
        QXL_STATUS_NAME(kStatusBadFormatSpec)
        QXL_STATUS_NAME(kStatusNotInitialized)
        QXL_STATUS_NAME(kStatusAlreadyInitialized)
        QXL_STATUS_NAME(kStatusBusy)
        QXL_STATUS_NAME(kStatusTimeout)
        QXL_STATUS_NAME(kStatusCanceled)
        QXL_STATUS_NAME(kStatusNotFound)
        QXL_STATUS_NAME(kStatusNoMemory)
        QXL_STATUS_NAME(kStatusNoResources)
        QXL_STATUS_NAME(kStatusImmutable)
        QXL_STATUS_NAME(kStatusTypeNotSupported)
        QXL_STATUS_NAME(kStatusBadCharacter)
        QXL_STATUS_NAME(kStatusUnsupported)
        QXL_STATUS_NAME(kStatusBadValue)
        QXL_STATUS_NAME(kStatusNoProgress)
        QXL_STATUS_NAME(kStatusBadObject)
        QXL_STATUS_NAME(kStatusBadModifier)
        QXL_STATUS_NAME(kStatusMalformed)
        QXL_STATUS_NAME(kStatusBadSize)
        QXL_STATUS_NAME(kStatusBadName)
        QXL_STATUS_NAME(kStatusNoData)
        QXL_STATUS_NAME(kStatusReadFailed)
        QXL_STATUS_NAME(kStatusBadDate)
        QXL_STATUS_NAME(kStatusUnderrun)
        QXL_STATUS_NAME(kStatusBufferTooSmall)
        QXL_STATUS_NAME(kStatusEnded)
        QXL_STATUS_NAME(kStatusPeerClosed)
        QXL_STATUS_NAME(kStatusUnexpectedType)
        QXL_STATUS_NAME(kStatusNotAvailable)
        QXL_STATUS_NAME(kStatusBufferFull)
#undef QXL_STATUS_NAME
        default:
            return nullptr;
    }
}
