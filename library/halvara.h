#pragma once

/*
 * The Halvara library: the only way an application reaches the presence service
 * halvserve. Every call that needs the service is one request/reply exchange over
 * the bridge channel and blocks the calling thread until the service answers (or
 * the channel gives up, which never takes more than a few seconds).
 *
 * Conventions shared by every export:
 * - exports never throw and never abort the caller;
 * - "not ready" means Halvara_Initialize was never called or the client object
 *   could not be made; the export then returns its not-ready value at once;
 * - "channel error" means the exchange with the service failed (no service, a
 *   service that died, a broken channel); the export then returns its
 *   channel-error value, which is 0 unless said otherwise;
 * - a reply is "done" when the service marked it as a reply.
 */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(HALVARA_BUILDING_LIBRARY)
#define HALVARA_API __attribute__((visibility("default")))
#else
#define HALVARA_API
#endif

/* The application's top-level window, owner of every message the library shows.
 * A Qt application passes its main window's QWidget pointer; a program without
 * widgets may pass any non-null token. The library never dereferences it. */
typedef struct HalvaraWindowTag* HalvaraWindow;

/* The 512-byte profile record, allocated by PersonalInfo_Create and handled by
 * pointer. Each field is NUL-terminated; its last byte is never written by the
 * setters and so always ends the text. */
typedef struct PersonalInfo {
    char name[256];
    char eMail[128];
    char password[128];
} PersonalInfo;

/* Registered message numbers, set when the library is loaded: "Halvara: update
 * contacts" (the contact lists or the identity changed; re-read the lists) and
 * "Halvara: update identity" (the active identity changed). Both arrive on the
 * session message bus; 0 when the bus could not be reached at load time. */
HALVARA_API extern unsigned int Halvara_UpdateContactsMsg;
HALVARA_API extern unsigned int Halvara_UpdateIdentityMsg;

/* ---- Start and stop ---------------------------------------------------- */

/* Creates the client object (opens the channel, launches halvserve), registers
 * the application's TOS number when the identity is registered. 1 success,
 * 0 failure. With a null parent it fails without asking. Only the first call
 * does anything; later calls return the first call's result. */
HALVARA_API int Halvara_Initialize(HalvaraWindow parent, int applicationId);

/* Halvara_Initialize for a program without windows: creates the client object,
 * checks that the identity is registered and then registers the TOS number,
 * showing nothing (no loading icon, no system message). Where the window
 * version would ask the user to register, it fails. Shares the once-only rule
 * with Halvara_Initialize: whichever is called first decides, later calls of
 * either return its result. 1 success, 0 failure. */
HALVARA_API int Halvara_InitializeHeadless(int applicationId);

/* Tells a Halvara_Initialize or Halvara_InitializeHeadless still waiting for
 * the service (one that is not there yet, or busy with another application)
 * to give up: it returns its failure value within about a second, launches
 * no further service and shows nothing; the library stays initialised with
 * that result, as after any failed start. A request already sent still gets
 * its answer first. Any thread; never waits. 1 when an initialisation was
 * running and was told to give up, 0 when none runs (nothing changes). */
HALVARA_API int Halvara_CancelInitialize(void);

/* Flushes the service's data and unregisters the TOS number; the service ends
 * when no application stays registered. 1; not ready 0. */
HALVARA_API int Halvara_Deallocate(int applicationId);

/* Makes the window the owner of the library's messages and shows a pending
 * system message. The previous parent; not ready null. */
HALVARA_API HalvaraWindow Halvara_SetParentWindow(HalvaraWindow window);

/* Writes the service's state to disk. 1 when done; else 0; not ready 0. */
HALVARA_API int Halvara_FlushData(void);

/* ---- Friends and acquaintances ---------------------------------------- */

/* Asks the user for a friend and adds the one found. 1 when a friend was added;
 * else 0 (always 0 until the library's dialogs exist); not ready 0. */
HALVARA_API int Halvara_Add(const char* applicationName, const char* applicationWebAddress,
                            int applicationId);

/* Adds the id as a friend. 1 when done; else 0; not ready 0. */
HALVARA_API int Halvara_AddID(int friendId);

/* Turns the friend into an acquaintance. 1 when done; else 0; not ready 0. */
HALVARA_API int Halvara_Delete(int friendId);

/* The friend id at the index (from 0); negative past the end; channel error 0;
 * not ready -1. The own entry is part of the friends list. */
HALVARA_API int Halvara_GetFriend(int index);

/* The acquaintance id at the index, with the results of Halvara_GetFriend. */
HALVARA_API int Halvara_GetAcquaintance(int index);

/* Copies the contact's stored profile into the destination. 1 when fetched; 0
 * otherwise, and the destination is left untouched; not ready 0. */
HALVARA_API int Halvara_GetProfile(int id, PersonalInfo* destination);

/* Asks the directory for the profile of the id. 1 when fetched, else 0; the
 * destination is overwritten in both cases (zeros after a channel error);
 * not ready 0. */
HALVARA_API int Halvara_LookupProfile(int id, PersonalInfo* destination);

/* The active identity's own profile, always with an empty password. 1 when
 * fetched, else 0; the destination is always overwritten; not ready 0. */
HALVARA_API int Halvara_GetMyProfile(PersonalInfo* destination);

/* Stores the profile as the active identity's and registers it with the
 * directory. The stored password is kept whatever the record holds. 1 when
 * done, else 0; not ready 0. */
HALVARA_API int Halvara_SetMyProfile(PersonalInfo profile);

/* The id registered for the e-mail address (blanks at both ends ignored);
 * negative when unknown; channel error 0; not ready -1. */
HALVARA_API int Halvara_LookupID(const char* eMail);

/* Whether the contact is online for the TOS number; a non-zero mode asks the
 * contact's service live. 1 when online, else 0; not ready 0. */
HALVARA_API int Halvara_IsOnline(int id, int tos, int mode);

/* Copies the contact's IP address text ("0.0.0.0" offline) into the buffer,
 * which must hold at least 24 bytes (smaller: 0 without asking). 1 when
 * fetched, else 0; not ready 0. */
HALVARA_API int Halvara_GetIP(int id, char* buffer, int size);

/* The own id as the service gives it (-1 none); channel error 0; not ready -1. */
HALVARA_API int Halvara_GetMyID(void);

/* Has the directory mail an invitation that names the application. 1 when
 * done, else 0; not ready 0. */
HALVARA_API int Halvara_SendInvitation(const char* friendEMail, const char* applicationName,
                                       const char* applicationWebAddress, int applicationId);

/* Asks the directory for up to count random online users of the TOS number and
 * keeps them as anonymous acquaintances. 1 when done, else 0; not ready 0. */
HALVARA_API int Halvara_AddAnonAcquaintances(int count, int tos);

/* One friend's answer to a live check. */
typedef struct HalvaraFriendOnline {
    int id;
    int online; /* 1 online, 0 not */
} HalvaraFriendOnline;

#define HALVARA_FRIEND_CHECKS_VERSION 1
/* No call checks more friends than this. */
#define HALVARA_FRIEND_CHECKS_MAX 1024

/* The caller's room for Halvara_CheckFriendsOnline. version must be
 * HALVARA_FRIEND_CHECKS_VERSION and capacity the entries the array holds
 * (1 to HALVARA_FRIEND_CHECKS_MAX); count is written by the call. */
typedef struct HalvaraFriendChecks {
    int version;
    int capacity;
    int count;
    HalvaraFriendOnline* entries;
} HalvaraFriendChecks;

/* Asks the first `capacity` friends (the own entry left out, in list order)
 * live whether they run the TOS, all side by side in the service, so the call
 * takes about one live check's time limit however many friends are silent.
 * 1 with count and entries filled; 0 on a channel error, a broken reply or a
 * record of another version, a null array or a capacity out of range (then
 * nothing is asked and count is 0); not ready 0. */
HALVARA_API int Halvara_CheckFriendsOnline(int tos, HalvaraFriendChecks* checks);

/* The IP addresses of the anonymous acquaintances of the TOS number, separated
 * by single blanks. With a buffer too small for the text of n characters it
 * returns n + 2 (the size to ask for) and copies nothing; otherwise it copies
 * the text with its terminator and returns n + 1. 0 on failure, for a null
 * buffer or size 0; not ready 0. Size the buffer with a first call of size 1. */
HALVARA_API int Halvara_GetAnonAcquaintances(int tos, int refresh, char* buffer, int size);

/* ---- TOS registrations ------------------------------------------------- */

/* Registers (on not 0) or unregisters the TOS number on the own entry. 1 when
 * done, else 0; not ready 0. */
HALVARA_API int Halvara_UpdateTOS(int tos, int on);

/* The number of active TOS registrations; channel error 0; not ready -1. */
HALVARA_API int Halvara_NumActiveTOS(void);

/* ---- Identities --------------------------------------------------------- */

/* Lets the user switch identity. 1 changed, 0 not (always 0 until the
 * library's dialogs exist); not ready 0. */
HALVARA_API int Halvara_ChangeIdentity(void);

/* The highest stored identity index; -1 when there is none; channel error 0;
 * not ready -1. */
HALVARA_API int Halvara_GetHighestIdentity(void);

/* The active identity index; -1 when there is none; channel error 0; not
 * ready 0. */
HALVARA_API int Halvara_GetActiveIdentity(void);

/* Copies the identity's text into the buffer (at least 120 bytes, else 0
 * without asking), zero-filled over its whole size. 1 when a non-empty text
 * came back, else 0; not ready 0. */
HALVARA_API int Halvara_GetIdentity(int index, char* buffer, int size);

/* Switches to the stored identity when the password matches. The service's
 * result (1 switched, 0 not); not ready 0. */
HALVARA_API int Halvara_SetIdentity(int index, const char* password);

/* Deletes a stored identity; the active one is never deleted (0 without
 * asking). The service's result; not ready 0. */
HALVARA_API int Halvara_DeleteIdentity(int index);

/* Lets the user register a new identity. 1 when one was registered, else 0
 * (always 0 until the library's dialogs exist); not ready 0. */
HALVARA_API int Halvara_AddIdentity(void);

/* Whether a stored identity already uses the e-mail address (blanks at both
 * ends ignored). 1 when taken, else 0; not ready 0. */
HALVARA_API int Halvara_IsIdentityTaken(const char* eMail);

/* ---- Programs without windows ------------------------------------------ */

/* Adds the id as an acquaintance (an id on the friends list moves there). 1 when
 * done; else 0; not ready 0. */
HALVARA_API int Halvara_AddAcquaintance(int id);

/* Results of Halvara_RegisterIdentityHeadless. */
#define HALVARA_REGISTER_OK 1
/* A name, e-mail address or password that is missing, empty or longer than 127
 * characters, or an address without an at sign. Nothing was asked. */
#define HALVARA_REGISTER_BAD_INPUT (-1)
/* The directory host did not accept a connection within two seconds. */
#define HALVARA_REGISTER_NO_DIRECTORY (-2)
/* A stored identity of this user already uses the address: switch to it. */
#define HALVARA_REGISTER_ALREADY_LOCAL (-3)
/* The directory holds the address for an ID whose password is another one. */
#define HALVARA_REGISTER_TAKEN (-4)
/* The service could not be reached, or refused to create, activate or claim
 * the identity or to store its profile with the directory. An identity that
 * was created but could not be made active is deleted again; one that became
 * active stays, unregistered. */
#define HALVARA_REGISTER_SERVICE_FAILED (-5)
/* Registered and active, but the service could not write its identity table:
 * the identity is lost when the service starts next unless a later
 * Halvara_FlushData succeeds. */
#define HALVARA_REGISTER_NOT_SAVED (-6)
/* Halvara_Initialize or Halvara_InitializeHeadless was never called, or the
 * client object could not be made. */
#define HALVARA_REGISTER_NOT_READY (-7)

/* What the registration wizard does, without asking anybody: registers a new
 * identity with the directory and makes it the active one. The address (blanks
 * at both ends ignored) gets a new ID, or, when the directory already holds it,
 * that ID is claimed if the password is its password. Blanks at both ends of
 * the password are ignored too. The identity table is written before it
 * returns. Call Halvara_InitializeHeadless first: for a user without a
 * registered identity it fails, yet the library is ready after it, and the
 * application's TOS number is not registered (register it with
 * Halvara_UpdateTOS). One of the HALVARA_REGISTER_ results above. */
HALVARA_API int Halvara_RegisterIdentityHeadless(const char* name, const char* eMail,
                                                 const char* password);

/* Fetches the service's system message for the application id, if one is due,
 * instead of showing it. Each message is handed out once. Both buffers must
 * hold at least 1024 bytes (no text is longer); they are zero-filled and get
 * the title and the message text. 1 when a message was copied, 0 when none is
 * due, -2 for a null or smaller buffer (nothing is asked), -1 on a channel
 * error or a broken reply; not ready -1. */
HALVARA_API int Halvara_GetSystemMessageHeadless(int applicationId, char* title, int titleSize,
                                                 char* text, int textSize);

/* ---- Profile records (no service involved) ------------------------------ */

/* A new all-zero record; null when out of memory. */
HALVARA_API PersonalInfo* PersonalInfo_Create(void);

/* Zeroes and frees the record; null is ignored. */
HALVARA_API void PersonalInfo_Destroy(PersonalInfo* info);

/* The name text (the record's own address); null for a null record. */
HALVARA_API char* PersonalInfo_GetName(PersonalInfo* info);

/* The e-mail text; null for a null record. */
HALVARA_API char* PersonalInfo_GetEMail(PersonalInfo* info);

/* The password text; null for a null record. */
HALVARA_API char* PersonalInfo_GetPassword(PersonalInfo* info);

/* Copies at most 255 characters, padding with NUL. 0 when the record or the
 * text is null, else 1. */
HALVARA_API int PersonalInfo_SetName(PersonalInfo* info, const char* name);

/* Copies at most 127 characters, padding with NUL. 0/1 as above. */
HALVARA_API int PersonalInfo_SetEMail(PersonalInfo* info, const char* eMail);

/* Copies at most 127 characters, padding with NUL. 0/1 as above. */
HALVARA_API int PersonalInfo_SetPassword(PersonalInfo* info, const char* password);

/* Copies the three fields. 0 when either record is null, else 1. */
HALVARA_API int PersonalInfo_Copy(const PersonalInfo* source, PersonalInfo* destination);

#ifdef __cplusplus
}
#endif
