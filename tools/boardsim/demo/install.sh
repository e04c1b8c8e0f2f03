#!/bin/sh
# The demo image's install script: runs before the application starts.
echo "Demo install script ran in $(pwd)"
