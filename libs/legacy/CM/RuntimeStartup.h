#pragma once

// Start-up of the common modules that every program of the product runs before its own code.

#include <string>

namespace qz {

/// Runs the start-up of the common modules in the order the programs rely on: the product name
/// of registry keys is taken from the product information file ("info.dat" beside the program;
/// "Orvane" without it, empty when the file cannot be read), the exception watch and the
/// diagnostic log start (the log's settings key carries that product name), and every packet
/// class registers itself. Call it first in main, on the main thread; later calls do nothing.
/// Raises nothing for a missing or damaged "info.dat".
void RuntimeStartup();

/// The product name of the product information file, as the registry name provider reports it
/// (a damaged file raises the file's load error, which ProductRegistryName turns into empty).
std::string ProductNameFromInformation();

} // namespace qz
