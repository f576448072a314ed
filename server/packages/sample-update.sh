#!/bin/sh
# Sample update package served by the bundled update server. When Kelvane
# hands it over, it runs in the program folder and leaves a sign there.
sign="$PWD/SAMPLE-UPDATE-RAN.txt"
{
    echo "The sample update package ran."
    echo "Package: $0"
    echo "Folder:  $PWD"
    date
} > "$sign"
echo "Sample update package ran; see $sign" >&2
