"""What the operator tools (the board test, the benchmarks, the waveform
picture) and the tests' harness share: the program's texts (`texts`), the
run helpers (`runner`), the namespaces that keep a run's sight of driver
libraries and USB devices to what it should see (`isolation`), and the board
test itself (`board_test`)."""
