#pragma once
// The record that a successful update leaves in the product's entry of the
// shared application database, for the maker's update framework.

// Writes "patchid", "patchname" (process::PatchName) and "version"
// (process::OwnVersion) under the product entry's PatchList\EP0000417263, in
// every registry view where the product entry exists; the entry itself is
// never created. True when at least one view received all three values.
bool WritePatchRecord();
