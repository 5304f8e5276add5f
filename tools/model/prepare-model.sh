#!/usr/bin/env bash
echo "setup: model preparation not yet available"
