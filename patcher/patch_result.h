#pragma once

#include <string>

// Why a patch operation failed; each has its own exit status in the program.
enum class PatchError {
    None = 0,
    Unreadable = 3, // the patch or the old file cannot be read
    WrongSource = 4, // the target is not the file the patch was made for
    Corrupt = 5, // the patch is damaged, truncated or of another format
    WriteFailed = 6, // the result cannot be written
    Internal = 7, // the compressor failed
    NoSpace = 8, // the result cannot be written: the disk or the quota is full
    TooLarge = 9, // the result would be larger than the bound the caller gave
};

struct PatchResult
{
    bool ok = false;
    std::string message;
    PatchError error = PatchError::None;

    static PatchResult success() { return {true, std::string(), PatchError::None}; }
    static PatchResult failure(PatchError error, std::string message)
    {
        return {false, std::move(message), error};
    }
};
