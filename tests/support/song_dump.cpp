// song_dump: prints the arrangement as the song data holds it, one row a line:
// the voice type, the volume, then every step code of the row's track up to and
// including its end code. For tests that read back what wave-render made of it.
#include <cstdio>

#include "app/song.h"

int main() {
    for (const wave::ArrangementEntry& row : wave::kArrangement) {
        std::printf("%d %.9g", row.voice, row.volume);
        for (const std::uint8_t code : wave::SongTrackData(row.track)) {
            std::printf(" %d", code);
            if (code == wave::SND_END) break;
        }
        std::printf("\n");
    }
    return 0;
}
