// The FM unit. For now it keeps the registers and stays silent.
#include "synth/fm.h"

namespace synth {

void resetFm(FmUnit& fm)
{
    fm = FmUnit{};
}

void writeFm(FmUnit& fm, int bank, std::uint8_t reg, std::uint8_t value)
{
    if (bank != 0 && bank != 1) {
        return;
    }
    fm.regs[bank][reg] = value;
}

void clockFm(FmUnit&, std::int32_t&, std::int32_t&) {}

} // namespace synth
