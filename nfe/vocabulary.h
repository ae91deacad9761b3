#pragma once
// The NF-e words the server and the local authority share, each written once:
// the authority's answer codes (cStat), as the taxpayer's guidance manual
// lists them, and the event types. The texts of the codes are the local
// authority's (authority/statuscodes.h); the server only compares them.
namespace zavnfe {

enum AnswerCode {
    AuthorisedUse = 100,
    CancellationApproved = 101,
    ServiceInOperation = 107,
    ServicePausedShortly = 108,
    ServicePausedIndefinitely = 109,
    DeniedUse = 110,
    BatchProcessed = 128,
    EventLinked = 135,
    EventNotLinked = 136,
    CancelledOutOfTerm = 151,
    LateCancellation = 155,
    CnpjBaseDiffers = 213,
    SchemaFailure = 215,
    NotInDatabase = 217,
    AlreadyCancelledNfe = 218,
    ProtocolDiffers = 222,
    BadCheckDigit = 236,
    EnvironmentDiffers = 252,
    SigningCertificateWithoutCnpj = 292,
    SignatureDiffers = 297,
    SignatureNotStandard = 298,
    AlreadyCancelled = 420,
    OrganDiffersFromKey = 455,
    OutOfTerm = 501,
    BadEventId = 572,
    DuplicateEvent = 573,
    AuthorDiffers = 574,
    EventAfterProcessing = 578,
    EventBeforeAuthorisation = 579,
    RequiresAuthorisedNfe = 580,
    EditCharacters = 588,
    ExcessiveUse = 656,
    UncataloguedError = 999,
};

// Whether an event's answer says it was registered: linked to the NF-e,
// registered without the link, or a cancellation accepted late.
constexpr bool registersEvent(int code) {
    return code == EventLinked || code == EventNotLinked || code == LateCancellation;
}

// The event types (tpEvento): the cancellation, and the cancellation by
// substitution; both cancel the NF-e.
inline constexpr const char* kCancellationEventType = "110111";
inline constexpr const char* kSubstitutionCancellationEventType = "110112";

} // namespace zavnfe
