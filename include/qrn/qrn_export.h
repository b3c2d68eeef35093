/* Marks the C entry points that libqrntp.so exports; every other symbol is hidden. */
#ifndef QRN_QRN_EXPORT_H
#define QRN_QRN_EXPORT_H

#if defined(QRN_BUILDING_QRNTP)
#define QRN_API __attribute__((visibility("default")))
#else
#define QRN_API
#endif

#endif
