// The agent's service host: start-up code and the service "ZARODIRazev".
#pragma once
