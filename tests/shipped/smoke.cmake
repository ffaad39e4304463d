# The shipped i686 updater run under wine32 (qemu), launched by a 64-bit
# driver in the same prefix. Each run of the 32-bit exe costs a minute or
# more, so the scenarios are few.
tagmind_add_wine_test(shipped_smoke_test SOURCES smoke_test.cpp TIMEOUT 900)
