// song_dump: the song as the tests know it, for the end-to-end tests.
//
// song_dump          the arrangement as the song data holds it, one row a line:
//                    the voice type, the volume, then every step code of the
//                    row's track up to and including its end code
// song_dump report   the lines the player reports on standard output
// song_dump stems    the name of each row's stem, without its extension
#include <cstdio>
#include <cstring>

#include "app/song.h"
#include "tests/support/song_facts.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "report") == 0) {
        for (const std::string& line : wave::test::PlayerReport())
            std::fputs(line.c_str(), stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "stems") == 0) {
        for (std::size_t row = 0; row < wave::kArrangement.size(); ++row)
            std::printf("%zu-%s\n", row + 1, wave::VoiceName(wave::kArrangement[row].voice));
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: song_dump [report | stems]\n");
        return 2;
    }
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
