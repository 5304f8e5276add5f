#pragma once

#include <QString>

namespace kivo {

// Attributes only this application reads live in this namespace; other programs skip them.
inline constexpr char kOpenRasterOwnNamespace[] = "https://kivopro.app/ns/openraster/1";

// Where the layer at `index` (counted from the bottom) is stored inside the archive.
inline QString openRasterLayerPath(size_t index)
{
    return QStringLiteral("data/layer%1.png").arg(index);
}

} // namespace kivo
