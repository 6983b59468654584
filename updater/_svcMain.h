// The updater's service host, named by its configuration.
#pragma once
