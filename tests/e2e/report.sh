# The 34 lines a render reports on standard output, for the end-to-end tests.
expected_report() {
    echo "ALLOC = 62015 kbyte"
    echo "SND_UNIT_NUM = 1440"
    for d in 0.997000 0.999000 1.001000 1.003000; do
        echo "detune = $d"
        for ch in 2 2 2 3 1 10 11; do echo "Render Track ch[$ch]"; done
    done
}
