#pragma once

class QPushButton;

namespace kivo {

// A prominent button: filled with the accent colour, for the main action of a bar.
void makeProminent(QPushButton* button);

} // namespace kivo
